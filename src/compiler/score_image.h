// The data the score compiler writes and the synthesizer reads: the settings
// record that every part header copies, the per-voice compiler state, the voice
// queues and the score image itself, plus the constant tables of the language.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarvel {

inline constexpr int kVoices = 5;
inline constexpr int kScaleSteps = 7;

// One instrument definition ("J" command). kind 1 is a harmonic instrument
// (eight harmonic strengths), anything else a pattern instrument (a shift
// register seed and mask).
struct Instrument {
    std::uint8_t kind = 1;
    std::array<std::uint8_t, 8> digits{};
    std::uint8_t volume = 0;

    friend bool operator==(const Instrument&, const Instrument&) = default;
};

inline constexpr std::array<Instrument, kVoices> kDefaultInstruments{{
    {1, {14, 15, 10, 5, 4, 14, 0, 0}, 14},
    {1, {4, 8, 15, 8, 15, 2, 0, 0}, 15},
    {1, {14, 0, 5, 0, 15, 0, 0, 0}, 10},
    {1, {15, 4, 0, 8, 0, 0, 0, 0}, 11},
    {1, {4, 15, 2, 8, 1, 4, 0, 0}, 13},
}};

// Settings that a part header records when its part closes.
struct ScoreSettings {
    std::uint8_t partNumber = 0;
    std::array<std::uint8_t, kVoices> voiceInstrument{3, 3, 3, 3, 3};
    std::uint8_t decayRate = 0;
    std::uint8_t beatUnit = 2;
    std::uint8_t tempoIndex = 96;
    std::array<Instrument, kVoices> instruments = kDefaultInstruments;
};

// Levels selected by "L0".."LF": each 6 below the one before.
inline constexpr std::array<std::uint8_t, 16> kEnvelopePresets{92, 86, 80, 74, 68, 62, 56, 50,
                                                               44, 38, 32, 26, 20, 14, 8,  2};

// Entry v of a row is the output slot of voice v+1. Slots 0 and 1 are the left
// channel; each row is one way of choosing the two left-channel voices.
inline constexpr std::array<std::array<std::uint8_t, kVoices>, 10> kSlotMaps{{
    {0, 1, 2, 3, 4},
    {0, 2, 1, 3, 4},
    {2, 0, 1, 3, 4},
    {0, 2, 3, 1, 4},
    {2, 0, 3, 1, 4},
    {2, 3, 0, 1, 4},
    {0, 2, 3, 4, 1},
    {2, 0, 3, 4, 1},
    {2, 3, 0, 4, 1},
    {2, 3, 4, 0, 1},
}};

// Note number of every diatonic index 0..41: six octaves of a C major scale.
inline constexpr std::array<std::int32_t, 42> kScaleTable = [] {
    constexpr std::array<std::int32_t, 7> steps{1, 3, 5, 6, 8, 10, 12};
    std::array<std::int32_t, 42> table{};
    for (int i = 0; i < 42; ++i) table[i] = 12 * (i / 7) + steps[i % 7];
    return table;
}();

// One waiting note of a voice: length in ticks, envelope level, note code.
// A duration of 255 marks the end of the queued notes.
struct QueueEntry {
    std::uint8_t duration = 0;
    std::uint8_t level = 0;
    std::uint8_t code = 0;
};

inline constexpr std::uint8_t kQueueEndMark = 255;

// The notes of one voice waiting for the next merge. The storage only ever
// grows and is never cleared: the level byte under the end mark is whatever
// an earlier, longer bar left there (or 0), and the merger reads it for a
// voice that has run out of notes.
struct VoiceQueue {
    std::vector<QueueEntry> storage;
    std::size_t tail = 0;  // write position while queuing, read position while merging

    QueueEntry& at(std::size_t index) {
        if (index >= storage.size()) storage.resize(index + 1);
        return storage[index];
    }
    void push(QueueEntry entry) { at(tail++) = entry; }
};

struct CompilerState {
    std::uint8_t currentVoice = 0;
    std::uint8_t currentDuration = 1;
    std::array<std::uint8_t, kVoices> envelopeLevel{2, 2, 2, 2, 2};
    std::uint8_t noteMode = 0;
    std::int8_t transpose = 0;
    std::uint8_t optionFlags = 0;
    std::uint8_t slotMapIndex = 0;
    std::array<std::int8_t, kVoices> voiceStepOffset{};
    std::array<std::int8_t, kScaleSteps> keySignature{};
    std::array<std::array<std::int8_t, kScaleSteps>, kVoices> accidentals{};
    std::array<std::uint8_t, kVoices> lastNote{};
    // Repeat: the read position just after "(" and the line counters there.
    std::size_t repeatStart = 0;
    std::int64_t repeatLine = 1;
    std::size_t repeatLineStart = 0;
    std::int32_t repeatCount = 0;  // passes still to make; -1 right after "("
    bool quarvelDialect = false;
};

inline constexpr std::uint8_t kOptionSeparateAccidentals = 1;
inline constexpr std::uint8_t kOptionKeepAccidentals = 2;

// A span of ticks in which no voice starts or ends a note; indexed by output
// slot. duration 0 ends a part's events.
struct ScoreEvent {
    std::uint8_t duration = 0;
    std::array<std::uint8_t, kVoices> note{};
    std::array<std::uint8_t, kVoices> envelope{};

    friend bool operator==(const ScoreEvent&, const ScoreEvent&) = default;
};

struct PartHeader {
    std::size_t events = 0;  // index of the part's first event in ScoreImage::events
    std::uint8_t number = 0;
    std::array<std::uint8_t, kVoices> slotInstrument{};
    std::uint8_t decayRate = 0;
    std::uint8_t beatUnit = 2;
    std::uint8_t tempoIndex = 96;

    friend bool operator==(const PartHeader&, const PartHeader&) = default;
};

// The compiled score: the part list in link order and one run of events.
// A part's events run from its `events` index to the next zero-duration event;
// a replay names an earlier part's first event.
struct ScoreImage {
    std::vector<PartHeader> parts;
    std::vector<ScoreEvent> events;
};

// Everything rendering needs from a compile: the image, the instrument
// definitions as they stand at the end of the text (they build the wave
// tables), and the envelope levels the compiler left, which the renderer takes
// as the starting level of each output slot.
struct CompiledScore {
    ScoreImage image;
    std::array<Instrument, kVoices> instruments = kDefaultInstruments;
    std::array<std::uint8_t, kVoices> envelopeLevel{2, 2, 2, 2, 2};
};

}  // namespace quarvel
