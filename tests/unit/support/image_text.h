// Readable text for compiled score images, and small helpers that the module
// tests of the score compiler share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/score_compiler.h"
#include "compiler/score_image.h"
#include "compiler/source_reader.h"

namespace quarvel {

// "48 | 39 41 0 0 0 | 2 2 0 0 0" (duration | notes by slot | envelopes by
// slot), or "end" for a terminator.
std::string eventText(const ScoreEvent& event);
// "#05 events 2 inst 3 3 3 3 3 decay 0 beat 2 tempo 96"
std::string headerText(const PartHeader& header);
// One line per header, then one line per event, each with its index.
std::string imageText(const ScoreImage& image);

// GoogleTest prints these through the functions above.
void PrintTo(const ScoreEvent& event, std::ostream* out);
void PrintTo(const PartHeader& header, std::ostream* out);

// The events of part `part` (index into image.parts), up to its terminator.
std::vector<ScoreEvent> partEvents(const ScoreImage& image, std::size_t part);

// The fault that compiling `text` raises, or nothing when it compiles.
std::optional<CompileError> compileFault(std::string_view text,
                                         Dialect dialect = Dialect::combined);

// A text that must fail to compile with this error number at this position.
struct FaultCase {
    std::string_view text;
    int number;
    std::int32_t line;
    std::int64_t column;
};
// Checks one FaultCase with GoogleTest assertions; the text is in the trace.
void expectFault(const FaultCase& fault, Dialect dialect = Dialect::combined);

// A compiler over a text, reset and ready, so a test can drive the compile
// loop by hand and look at the queues and the state before any part closes.
struct CompilerRun {
    explicit CompilerRun(std::string_view source, Dialect dialect = Dialect::combined)
        : text(source), compiler(text, dialect) {
        compiler.resetImage();
    }
    // Dispatches every character up to the end of the text, without the
    // closing merge.
    CompilerRun& dispatchAll();
    // The entries waiting in voice v's queue.
    std::vector<QueueEntry> waiting(int voice) const;

    SourceText text;
    ScoreCompiler compiler;
};

}  // namespace quarvel
