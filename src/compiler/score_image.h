// The data the score compiler writes and the synthesizer reads: the settings
// record that every part header copies, the per-voice compiler state, the voice
// queues and the score image itself, plus the constant tables of the language.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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

// One waiting note of a voice: length in ticks, envelope level, note code,
// and where the note token it came from lies in the text (its first byte and
// its length, at most 255 counted). A duration of 255 marks the end of the
// queued notes.
struct QueueEntry {
    std::uint8_t duration = 0;
    std::uint8_t level = 0;
    std::uint8_t code = 0;
    std::uint8_t textLength = 0;
    std::uint32_t textLow = 0;  // the offset in two halves keeps the entry at 12 bytes
    std::uint32_t textHigh = 0;

    std::size_t textOffset() const {
        return static_cast<std::size_t>((std::uint64_t{textHigh} << 32) | textLow);
    }
    void setText(std::size_t offset, std::size_t length) {
        textLow = static_cast<std::uint32_t>(offset);
        textHigh = static_cast<std::uint32_t>(std::uint64_t{offset} >> 32);
        textLength = static_cast<std::uint8_t>(length < 255 ? length : 255);
    }
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

// The default high bits of a note code, set by "*", "@" and "_".
inline constexpr std::uint8_t kNoteModePlain = 0x00;
inline constexpr std::uint8_t kNoteModeDown = 0x80;
inline constexpr std::uint8_t kNoteModeNoise = 0x60;

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

// A place in the score text: the byte offset, and the line and 1-based
// column (bytes from the start of the line) as error reports count them.
struct TextPoint {
    std::size_t offset = 0;
    std::int64_t line = 0;
    std::int64_t column = 0;

    friend bool operator==(const TextPoint&, const TextPoint&) = default;
};

// The text of one note token, from its first byte to its last.
struct TokenSource {
    TextPoint first;
    std::uint32_t length = 0;  // bytes, line ends inside the token included
};

// From the first byte of the first token to the last byte of the last one.
struct TextRange {
    TextPoint first;
    TextPoint last;
    bool empty = true;
};

// The same as byte offsets, first > last when empty: what the compiler keeps
// for every bar (a long score has many; SourceMap::rangeOf gives the lines and
// columns).
struct TextSpan {
    std::size_t first = 1;
    std::size_t last = 0;
    bool empty() const { return first > last; }
    bool contains(std::size_t offset) const { return first <= offset && offset <= last; }
};

// A bar: one merge that produced events. Bars are numbered from 1 in the
// order the text is compiled (a repeated bar gets a number for every pass).
struct BarSource {
    std::size_t firstEvent = 0;  // index into ScoreImage::events
    std::size_t eventCount = 0;
    std::uint32_t ticks = 0;
    // The key signature in force for the bar: the one its bar line before
    // put in the accidental memory (so a "K" takes effect at the next bar).
    std::array<std::int8_t, kScaleSteps> keySignature{};
    std::uint8_t slotMapIndex = 0;            // the slot map the bar was merged with
    TextSpan text;                            // every note token merged into the bar
    std::array<TextSpan, kVoices> voiceText;  // each voice's note tokens
    // What turned the bar's note codes into pitches at its merge, for
    // spelling them: the transposition, each voice's step offset, and the key
    // signature that the last bar-line reset before it put in the accidental
    // memory.
    std::int8_t transpose = 0;
    std::array<std::int8_t, kVoices> stepOffset{};
    std::array<std::int8_t, kScaleSteps> key{};
};

// A repeat "( … )d" as compiled: the first bar of its first pass, the bars
// of one pass and the passes in all (d + 1); onBarLines when both brackets
// stand where no note waits for a merge (right after a bar line or at the
// start), so that every pass is whole bars.
struct RepeatSource {
    std::size_t firstBar = 0;  // index into SourceMap::bars
    std::size_t passBars = 0;
    std::uint32_t passes = 0;
    bool onBarLines = false;
};

// One note as written, placed in its bar: a queue entry that the merger laid
// out (a rest piece of an articulation is an entry of its own).
struct NoteSource {
    std::uint32_t bar = 0;  // index into SourceMap::bars
    std::uint32_t token = 0;
    std::uint32_t startTick = 0;  // from the start of the bar
    std::uint8_t ticks = 0;
    std::uint8_t voice = 0;
    std::uint8_t code = 0;
    // For the rest piece an articulation mark split off its note: the mark
    // (',' ';' '\'' '"'); 0 otherwise.
    std::uint8_t mark = 0;
};

// Where the music is in the text.
struct SourceMap {
    std::vector<BarSource> bars;
    // Every repeat whose end was reached, in the order of the text.
    std::vector<RepeatSource> repeats;
    // Kept only on request (CompileOptions::keepNotes): every queue entry
    // merged, and the tokens they came from.
    std::vector<NoteSource> notes;
    std::vector<TokenSource> tokens;
    // The offset of the first byte of every line: line n starts at
    // lineStarts[n - 1].
    std::vector<std::size_t> lineStarts{0};

    // Line and column of a byte of the text, as the reader counts them.
    TextPoint pointAt(std::size_t offset) const;
    TextRange rangeOf(const TextSpan& span) const;
    // The offset of a line and column (both from 1) of the text.
    std::size_t offsetOf(std::int64_t line, std::int64_t column) const;
    // The bar whose note text holds line:column, or failing that the first
    // bar whose notes begin after it; nullopt when there is none. A column
    // past the end of its line stands for the line's last character, and
    // then the last bar whose notes begin on the line is taken before one
    // after it.
    std::optional<std::size_t> barAt(std::int64_t line, std::int64_t column) const;

    // The bar whose events include this one; nullopt for part terminators and
    // events of no bar.
    std::optional<std::size_t> barOfEvent(std::size_t event) const;
};

// The language's traps that the compiler notices: each names a rule that
// renders something other than what the text seems to say.
enum class WarningKind : std::uint8_t {
    barLength,
    sharedNoteMode,
    sharedDuration,
    sharedAccidental,
    keyBeforeBar,
    notesAfterReplay,
    repeat,
    pitchFold,
    redefinition,
    noDuration,
    gluedBarLine,
    startPart,
    repeatedNote,
    tieAcrossBar,
    gluedArgument,
    endOfTextByte,  // the last: new kinds go before this line's end, and into the catalogue
};
inline constexpr std::size_t kWarningKinds =
    static_cast<std::size_t>(WarningKind::endOfTextByte) + 1;

// One warning: its kind and name, where it points (line 0: at no place in the
// text), the last column of the text it marks on that line (0: only the one
// column), and what will happen in words, with the way to write what was
// probably meant.
struct Warning {
    WarningKind kind = WarningKind::barLength;
    std::string name;
    TextPoint where;
    std::int64_t endColumn = 0;
    std::string message;
};

// Everything rendering needs from a compile: the image, the instrument
// definitions as they stand at the end of the text (they build the wave
// tables), and the envelope levels the compiler left, which the renderer takes
// as the starting level of each output slot. The source map and the warnings
// are for people and tools; nothing rendered depends on them.
struct CompiledScore {
    ScoreImage image;
    std::array<Instrument, kVoices> instruments = kDefaultInstruments;
    std::array<std::uint8_t, kVoices> envelopeLevel{2, 2, 2, 2, 2};
    SourceMap sourceMap;
    // Every warning found, each place once (a repeated passage warns once), in
    // the order found; at most kWarningsKept of each kind are kept, and
    // warningsCut marks the kinds that had more.
    std::vector<Warning> warnings;
    std::array<bool, kWarningKinds> warningsCut{};
};

}  // namespace quarvel
