// The program's exit statuses: scripts, editors and the tests rely on each.
#pragma once

namespace quarvel {

struct ExitStatus {
    enum : int {
        success = 0,        // also after the user stopped, or an editor took over
        usage = 1,          // a usage error, or a score (or MIDI file) that cannot be read
        noMemory = 2,       // out of memory, or a failure no part of the run expected
        compileError = 3,   // the score does not compile
        outputFailure = 4,  // the WAVE or another output file, the sound device
    };
};

}  // namespace quarvel
