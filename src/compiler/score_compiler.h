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

namespace quarvel {

// The three dialects of the language. The Quarvel dialect reads "J…T" and "L"
// but ignores them; the Lutera dialect starts with a decay rate of 6.
enum class Dialect { combined, quarvel, lutera };

struct CompileOptions {
    // Keep a NoteSource for every queue entry merged (piano rolls, note
    // export); costs memory in proportion to the notes.
    bool keepNotes = false;
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

    // The first closed part with each number, so that lookups stay constant
    // time in scores of many parts.
    std::array<std::optional<std::size_t>, 256> firstPartNumbered_{};
    CompileOptions options_;
};

}  // namespace quarvel
