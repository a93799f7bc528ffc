// What the notes of a score are called in General MIDI: the program of each
// instrument letter, the key of each pitched note and the drum of each noise
// rate. The MIDI export plays them and the notation names them, from these
// tables alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "compiler/score_image.h"

namespace quarvel {

// The General MIDI program (0-based) of each instrument letter A..E, chosen
// by the default harmonics; a redefined instrument keeps its letter's
// program.
inline constexpr std::array<std::uint8_t, kVoices> kInstrumentPrograms{
    6,   // A: 14 15 10 5 4 14, full and bright up to the 6th harmonic: Harpsichord
    68,  // B: 4 8 15 8 15 2, weak fundamental, strong 3rd and 5th: Oboe
    71,  // C: 14 0 5 0 15, odd harmonics only, hollow: Clarinet
    73,  // D: 15 4 0 8, nearly a pure fundamental: Flute
    16,  // E: 4 15 2 8 1 4, the octave above leads, like stops of 8', 4' and 2': Drawbar Organ
};
inline constexpr std::array<std::string_view, kVoices> kInstrumentNames{
    "Harpsichord", "Oboe", "Clarinet", "Flute", "Drawbar Organ"};

// MIDI note number of a pitched note (1..72): note 37, the C of degree 0, is
// middle C (60), and note 46 is A 440 Hz (69).
constexpr int midiKeyOf(int note) {
    return note + 23;
}

inline constexpr int kFirstNoiseRate = 73;
inline constexpr int kNoiseRates = 16;

// A drum of the percussion staff: its General MIDI key and name, and where
// it stands on a five-line staff (the step and octave of the treble clef
// position) with its notehead.
struct Drum {
    std::uint8_t key;
    std::string_view name;
    char displayStep;
    std::uint8_t displayOctave;
    std::string_view notehead;  // "normal" or "x"
};

// The drum of each noise rate (73..88): the sixteen rates from the lowest
// rumble to the highest hiss, drums low to high, then snares, hand clap,
// tambourine, hi-hats and cymbals.
inline constexpr std::array<Drum, kNoiseRates> kDrums{{
    {35, "Acoustic Bass Drum", 'E', 4, "normal"},
    {36, "Bass Drum 1", 'F', 4, "normal"},
    {41, "Low Floor Tom", 'G', 4, "normal"},
    {43, "High Floor Tom", 'A', 4, "normal"},
    {45, "Low Tom", 'B', 4, "normal"},
    {47, "Low-Mid Tom", 'D', 5, "normal"},
    {48, "Hi-Mid Tom", 'E', 5, "normal"},
    {50, "High Tom", 'F', 5, "normal"},
    {38, "Acoustic Snare", 'C', 5, "normal"},
    {40, "Electric Snare", 'C', 5, "x"},
    {39, "Hand Clap", 'B', 4, "x"},
    {54, "Tambourine", 'D', 5, "x"},
    {42, "Closed Hi-Hat", 'G', 5, "x"},
    {46, "Open Hi-Hat", 'A', 5, "x"},
    {49, "Crash Cymbal 1", 'B', 5, "x"},
    {57, "Crash Cymbal 2", 'C', 6, "x"},
}};

constexpr const Drum& drumOf(int note) {
    return kDrums[static_cast<std::size_t>(note - kFirstNoiseRate)];
}
constexpr int drumKeyOf(int note) {
    return drumOf(note).key;
}

}  // namespace quarvel
