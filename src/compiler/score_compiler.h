// The score compiler: reads the whole score text through the source reader and
// turns it into a score image. Commands change the settings and the compiler
// state; note tokens are queued per voice; bar lines, part commands and the end
// of the text merge the queues into score events and close parts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "compiler/score_image.h"
#include "compiler/source_reader.h"
#include "compiler/warnings.h"

namespace quarvel {

// The three dialects of the language. The Quarvel dialect reads "J…T" and "L"
// but ignores them; the Lutera dialect starts with a decay rate of 6.
enum class Dialect { combined, quarvel, lutera };

struct CompileOptions {
    // Keep a NoteSource for every queue entry merged (piano rolls, note
    // export); costs memory in proportion to the notes.
    bool keepNotes = false;
    // The warnings to look for; a trap whose warning nobody reads costs no
    // bookkeeping (the one that watches the shared accidental memory runs at
    // every pitch).
    WarningSet warnings = WarningSet().set();
};

// Compiles a whole score. Throws CompileError on the first fault.
CompiledScore compileScore(const SourceText& text, Dialect dialect,
                           const CompileOptions& options = {});

class ScoreCompiler {
  public:
    ScoreCompiler(const SourceText& text, Dialect dialect, const CompileOptions& options = {});

    CompiledScore run();

    // Compile loop pieces, exposed for the module tests.
    void dispatch(std::uint8_t c);

    // Note tokens and voice queues.
    void queueNote(std::uint8_t first);
    void articulateByTicks(std::uint8_t ticks);
    void articulateByShift(std::uint8_t shift);

    // Event merger and pitch resolution.
    void mergeVoiceQueues();
    std::uint8_t resolvePitch(int voice, std::uint8_t code);

    // Part list.
    void resetImage();
    void closePart();
    void fillHeader(PartHeader& header) const;
    std::optional<std::size_t> findPart(std::uint8_t number) const;
    void partCommand();
    void replayCommand();

    ScoreSettings settings;
    CompilerState state;
    std::array<VoiceQueue, kVoices> queues;
    ScoreImage image;
    std::size_t partEventStart = 0;
    SourceReader reader;
    SourceMap sourceMap;

  private:
    void recordBar(std::size_t firstEvent, std::uint32_t ticks,
                   const std::array<std::size_t, kVoices>& queued);
    void linkPart(const PartHeader& header);
    void repeatEnd();
    void comment();
    void instrumentDefinition();
    void keySignature();
    void barLine();
    void beatUnit();
    void stepOffset();

    // Warnings (warnings.cpp): each is called where its trap can show and
    // costs a few comparisons when there is none. warningWanted: whether a
    // place still needs a warning of this kind (not yet warned, the kind not
    // full); whether the kind was asked for at all is wants(), which the
    // costly watches look at before they run.
    TextPoint commandPoint() const;
    TextPoint tokenPoint(std::size_t offset) const;
    bool warningWanted(WarningKind kind, std::size_t offset);
    void addWarning(WarningKind kind, TextPoint where, std::int64_t endColumn, std::string message);
    // token: the offset of the note token's first byte.
    void noteWarnings(std::uint8_t first, std::uint8_t code, std::size_t token);
    std::uint64_t notesQueued_ = 0;  // note tokens queued so far
    void noteModeCommand(std::uint8_t c);
    void durationLetter(std::uint8_t base);
    void repeatOpenCommand();
    void repeatEndWarning(TextPoint at);
    void partSettingChanged(const char* command, TextPoint at, int before, int after);
    void instrumentChoiceChanged(TextPoint at, std::uint8_t before);
    void instrumentDefined(std::uint8_t letter, const Instrument& before, TextPoint at);
    void keyChanged(TextPoint at, const std::array<std::int8_t, kScaleSteps>& before);
    void barLineSkipped(TextPoint first, std::size_t length);
    void barLengthWarning(const BarSource& bar, const std::array<std::size_t, kVoices>& queued);
    void pitchFoldWarning(int voice, int indexSum, int alteration, std::uint8_t note);
    void sharedAccidentalWarning(int voice, int step, int alteration);
    void sharedAccidentalBarEnd();
    // An entry that begins at barTicks with the note sounding before it.
    void joinFound(int voice, const QueueEntry& entry, std::uint32_t barTicks);
    void finishJoins(int voice, std::uint64_t endTick);
    void tempoGlued(TextPoint at);
    void endOfTextWarnings();
    bool wants(WarningKind kind) const {
        return options_.warnings.test(static_cast<std::size_t>(kind));
    }

    WarningState warn_;

    // The key signature the last bar-line reset put in the accidental memory,
    // and the repeat being compiled (its first bar; whether "(" stood on a
    // bar line), for the source map.
    std::array<std::int8_t, kScaleSteps> keyInForce_{};
    std::size_t repeatFirstBar_ = 0;
    bool repeatOpenedOnBar_ = false;
    bool queuesEmpty() const;
    std::uint8_t articulationMark(int voice, const QueueEntry& entry) const;

    // The first closed part with each number, so that lookups stay constant
    // time in scores of many parts.
    std::array<std::optional<std::size_t>, 256> firstPartNumbered_{};
    CompileOptions options_;
    bool watchSharedAccidentals_ = true;
    bool watchJoins_ = true;                         // repeated-note or tie-across-bar
    std::array<std::int8_t, kScaleSteps> barKey_{};  // the key the last bar-line reset used
};

}  // namespace quarvel
