// The score as a reader sees it: staves of notes and rests with written
// pitches and note values, ties, keys, meters, tempi and repeats, derived
// from a compiled score and its source map, never compiled a second time. It
// holds exactly the notes the rendering plays: the pitch of every note is the
// one that sounds (transposition, step offsets and accidental memory
// applied), equal notes that the language merges into one sound are tied, and
// every note keeps its place in the text.
//
// The interface is meant to stay: the MusicXML writer, the language server's
// hover and the staff view all read it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compiler/score_image.h"
#include "synth/tables.h"

namespace quarvel {

// Ticks per quarter note in the score (and MusicXML divisions).
inline constexpr int kTicksPerQuarter = 48;

// A written pitch: step letter, alteration in semitones and octave, octave 4
// being the one from middle C up (scientific pitch notation).
struct WrittenPitch {
    char step = 'C';  // 'A'..'G'
    int alter = 0;    // -2..2
    int octave = 4;

    friend bool operator==(const WrittenPitch&, const WrittenPitch&) = default;
};

// "C4", "A♭4", "F♯5", "B𝄫3", "E𝄪2": the name with the alteration as a
// musical sign (UTF-8).
std::string pitchName(const WrittenPitch& pitch);
// The MIDI key the pitch sounds (C4 is 60).
int midiKeyOfPitch(const WrittenPitch& pitch);

// The plain note values, from whole to 128th.
enum class NoteType : std::uint8_t {
    whole,
    half,
    quarter,
    eighth,
    sixteenth,
    thirtySecond,
    sixtyFourth,
    hundredTwentyEighth,
};

// One notated value: a type with dots, or a triplet of a type (three in the
// time of two).
struct NotatedValue {
    NoteType type = NoteType::quarter;
    std::uint8_t dots = 0;  // 0..2
    bool triplet = false;

    std::uint32_t ticks() const;
    friend bool operator==(const NotatedValue&, const NotatedValue&) = default;
};

// "quarter", "dotted quarter", "double-dotted half", "eighth triplet",
// "16th", "32nd", "64th", "128th".
std::string valueName(const NotatedValue& value);
// The MusicXML type name: "whole", "half", "quarter", "eighth", "16th" ...
const char* typeName(NoteType type);
// The single value of a length in ticks, if there is one.
std::optional<NotatedValue> singleValueOf(std::uint32_t ticks);
// The values a length is written with, longest first, tied together: one
// value when there is a single one; else plain and dotted values, with one
// triplet value among them for a length that is no multiple of 3 ticks (a
// 64th), the fewest values in all.
std::vector<NotatedValue> valuesOf(std::uint32_t ticks);
// How a length is named for people: its value name, or the names of the
// tied values joined with " + " ("half + eighth").
std::string lengthName(std::uint32_t ticks);

// The written pitch of a sounding note number (1..71) in a key (fifths,
// -7..7): sharps in sharp keys and C, flats in flat keys.
WrittenPitch plainSpelling(int note, int fifths);

// What an articulation mark after a note becomes: "," staccato, ";" portato
// (staccato under a tenuto line); the quote marks, which take off one or two
// ticks, no mark.
enum class Articulation : std::uint8_t { none, staccato, portato };

// A note or rest on a staff. Its length is its value's; a written note whose
// length is no single value is several NotatedNotes tied (piece 1, 2, ...),
// and so is a written note that the articulation mark's rest is folded into:
// a note written "Q5," is one quarter with a staccato, although it sounds an
// eighth.
struct NotatedNote {
    std::uint32_t startTick = 0;  // from the start of the measure
    NotatedValue value;
    bool rest = false;
    // Pitched: the written pitch; percussion: drum (a noise rate 73..88, see
    // general_midi.h); the note number as the rendering sounds it (0 a rest).
    WrittenPitch pitch;
    std::uint8_t note = 0;
    // Shown before the note: the alteration, when the key signature and the
    // notes before it in the measure do not already give it.
    std::optional<int> accidental;
    bool tieStart = false;  // tied to the next note of the staff
    bool tieStop = false;   // tied from the note before
    Articulation articulation = Articulation::none;
    std::uint8_t instrument = 0;  // 0..4 (A..E)
    // Where it is written: the token's first character (line 0: a rest the
    // text does not write, where a voice ran out of notes in its bar), the
    // token's length in bytes, and which time this token sounds in the
    // rendering (1 the first). piece counts the tied notes one written note
    // became.
    TextPoint text;
    std::uint32_t textLength = 0;
    std::uint32_t pass = 1;
    std::uint8_t piece = 1;
};

// A time signature: beats over a beat type (2, 4, 8, ...), or none
// (senza misura) for a bar whose length no signature gives.
struct TimeSignature {
    std::uint32_t beats = 4;
    std::uint32_t beatType = 4;
    bool senzaMisura = false;

    friend bool operator==(const TimeSignature&, const TimeSignature&) = default;
};

// A tempo: the beat (the value "N" names; a quarter unless changed) and how
// many of it in a minute, and the same in quarter notes.
struct Tempo {
    NoteType beat = NoteType::quarter;
    double perMinute = 0;
    double quartersPerMinute = 0;

    friend bool operator==(const Tempo&, const Tempo&) = default;
};

// A measure of every staff: one pass over one bar of the text.
struct NotatedMeasure {
    std::uint32_t bar = 0;   // the bar number the status line shows (from 1)
    std::uint32_t pass = 1;  // which time this bar sounds in the rendering
    std::uint32_t ticks = 0;
    std::uint64_t startTick = 0;  // from the start of the rendering (first pass)
    std::uint32_t partIndex = 0;  // the part header it is played in
    // Set where each takes effect: the first measure, and where it changes.
    std::optional<int> keyFifths;
    std::optional<TimeSignature> time;
    std::optional<Tempo> tempo;
    bool pickup = false;  // a short first measure
    // Repeat bar lines: a forward repeat before the measure; a backward one
    // after it, played `repeatTimes` times in all (0: none).
    bool repeatForward = false;
    std::uint32_t repeatTimes = 0;
    // The key, time and tempo in force (also where nothing changes).
    int fifths = 0;
    TimeSignature meter;
    Tempo tempoInForce;
};

enum class Clef : std::uint8_t { treble, bass, percussion };

// One staff: the pitched notes of a voice, or its noise notes on a
// percussion staff (a voice that has both gets both staves).
struct NotatedStaff {
    std::uint8_t voice = 0;  // 1..5
    bool percussion = false;
    Clef clef = Clef::treble;
    std::vector<std::uint8_t> instruments;  // pitched: the letters used (0..4), first first
    std::vector<std::uint8_t> drums;        // percussion: the noise rates used (73..88)
    // Parallel to NotatedScore::measures. instrumentChange: the instrument
    // from this measure on, where it differs from the measure before.
    struct Measure {
        std::vector<NotatedNote> notes;
        std::optional<std::uint8_t> instrumentChange;
    };
    std::vector<Measure> measures;
};

struct NotatedScore {
    std::vector<NotatedMeasure> measures;
    std::vector<NotatedStaff> staves;  // by voice, pitched before percussion
};

struct NotationOptions {
    // Parts from the first one numbered startPart (0: all), as -g.
    int startPart = 0;
    // Only the frames [firstFrame, endFrame) of that rendering: measures cut
    // at the ends, notes cut to them (a cut first measure is a pickup).
    std::uint64_t firstFrame = 0;
    std::uint64_t endFrame = UINT64_MAX;
    // Repeats on bar lines as repeat bar lines; otherwise written out.
    bool foldRepeats = true;
};

// The notated score of a compile made with CompileOptions::keepNotes (without
// the kept notes, the text places are 0 and pitches are spelled from the
// sound alone). A rendering with no bars (an empty score, a start part no
// part has, a range outside it) is one measure of a whole rest (bar 0).
NotatedScore notateScore(const CompiledScore& score, const Tables& tables,
                         const NotationOptions& options = {});

// Only the measures of notateScore from startPart with foldRepeats off (every
// pass a measure of its own): their place in ticks, keys, meters and tempos,
// without the staves, so without a note spelled. What the MIDI file's
// signatures read.
std::vector<NotatedMeasure> measureLayout(const CompiledScore& score, const Tables& tables,
                                          int startPart);

// The note whose token holds line:column (a token on one line: from its
// first character to its last, articulation mark included), its first piece
// in its first pass, a sounding note before a rest standing for it on the
// voice's other staff; nullptr when there is none.
struct NoteAt {
    const NotatedStaff* staff = nullptr;
    const NotatedMeasure* measure = nullptr;
    const NotatedNote* note = nullptr;
};
NoteAt noteAt(const NotatedScore& score, std::int64_t line, std::int64_t column);

}  // namespace quarvel
