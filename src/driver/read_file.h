// Reading an input of the run (the score, a MIDI file to import) the one way
// the program reads its inputs: opened without blocking, so that a fifo
// cannot hang the run; refused unless it is a regular file; read whole, the
// bytes exactly as stored, however the file grows while it is read; and made
// an input of the run, which no output of the run may replace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quarvel {

struct InputFile {
    std::vector<std::uint8_t> bytes;  // the file's bytes, room for 8 more reserved
    std::string problem;              // why it was not read (empty: read, or no memory)
    bool outOfMemory = false;         // not read for a lack of memory
    bool tooLarge = false;            // the problem is a file larger than allowed

    bool read() const { return problem.empty() && !outOfMemory; }
};

// Reads the file opened by `name` (as typed, so that a name longer than the
// path limit, relative to a deep folder, still opens). `role` names it in the
// refusal of an output that would replace it ("the score"). A file larger
// than `largest` bytes is not read.
InputFile readInputFile(const std::string& name, const std::string& role,
                        std::uint64_t largest = UINT64_MAX);

}  // namespace quarvel
