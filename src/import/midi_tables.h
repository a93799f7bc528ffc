// The MIDI export's mappings read backwards: a General MIDI program to the
// nearest instrument letter, a percussion key to a noise rate, a velocity to
// a loudness command. Each is derived from the export's own table, so the
// two directions cannot drift apart: an exported file imports to the same
// instruments, noise rates and loudness.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>

#include "notation/general_midi.h"
#include "output/midi_file.h"

namespace quarvel {

// The instrument letter (0..4 for A..E) of each General MIDI program: the
// letter whose exported program it is, else by the program's family.
inline constexpr std::array<std::uint8_t, 128> kProgramInstruments = [] {
    // Families of eight programs: piano, chromatic percussion, organ, guitar,
    // bass, strings, ensemble, brass, reed, pipe, synth lead, synth pad,
    // synth effects, ethnic, percussive, sound effects.
    constexpr std::array<std::uint8_t, 16> family{0, 0, 4, 0, 3, 1, 1, 1, 1, 3, 2, 4, 4, 0, 0, 3};
    std::array<std::uint8_t, 128> table{};
    for (int p = 0; p < 128; ++p) table[p] = family[p / 8];
    // Saxophones (64..67) and the clarinet sound hollow: the clarinet's letter.
    for (int p = 64; p < 68; ++p) table[p] = 2;
    for (std::uint8_t letter = 0; letter < kVoices; ++letter)
        table[kInstrumentPrograms[letter]] = letter;
    return table;
}();

// A percussion key that is not in the export's drum table sounds like one
// that is: pairs of (key, stand-in key).
inline constexpr std::array<std::array<std::uint8_t, 2>, 31> kDrumStandIns{{
    {27, 35}, {28, 38}, {29, 38}, {30, 38}, {31, 42}, {32, 42}, {33, 42}, {34, 49},
    {37, 38}, {44, 42}, {51, 46}, {52, 57}, {53, 46}, {55, 49}, {56, 50}, {58, 39},
    {59, 46}, {60, 48}, {61, 45}, {62, 48}, {63, 47}, {64, 43}, {65, 48}, {66, 45},
    {67, 50}, {68, 48}, {69, 42}, {70, 42}, {71, 54}, {72, 54}, {75, 39},
}};

// The noise rate (0..15) of each percussion key: the export's drum table read
// backwards, stand-ins through it, every other key the nearest in the table.
// exact: whether the key is one the export writes.
struct DrumRate {
    std::uint8_t rate;
    bool exact;
};
inline constexpr std::array<DrumRate, 128> kDrumRates = [] {
    std::array<DrumRate, 128> table{};
    std::array<int, 128> rateOfKey{};
    rateOfKey.fill(-1);
    for (int r = 0; r < kNoiseRates; ++r) rateOfKey[kDrums[r].key] = r;
    for (int key = 0; key < 128; ++key) {
        if (rateOfKey[key] >= 0) {
            table[key] = {static_cast<std::uint8_t>(rateOfKey[key]), true};
            continue;
        }
        int best = 0;
        const auto distance = [key](int r) {
            const int k = kDrums[r].key;
            return k > key ? k - key : key - k;
        };
        for (int r = 1; r < kNoiseRates; ++r) {
            if (distance(r) < distance(best)) best = r;
        }
        table[key] = {static_cast<std::uint8_t>(best), false};
    }
    for (const auto& [key, standIn] : kDrumStandIns) table[key] = {table[standIn].rate, false};
    return table;
}();

// The loudness digit (L0..LF) whose exported velocity is nearest.
int loudnessOfVelocity(int velocity);

}  // namespace quarvel
