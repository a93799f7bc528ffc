// The ways a run leaves its normal course: a failure status with its exit
// line, a hung sound device, an exception no part of the run caught, and a
// compile error report with the offer to edit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "compiler/source_reader.h"
#include "driver/run_options.h"
#include "driver/terminal.h"
#include "output/exit_status.h"

namespace quarvel {

// Where the result and exit lines go: standard output, or standard error
// when standard output carries the sound (--export -).
std::FILE* resultStream(const RunOptions& options);

// Prints "exit <status> <sourcePath>" (see resultStream) and ends the process with that status.
[[noreturn]] void exitWith(const RunOptions& options, int status);

// While playing: when a sound device call does not come back in time
// (SIGALRM), put the terminal back, say so, print the exit line and end with
// status 4.
void armDeviceHangExit(const RunOptions& options);

// The score's name for the exit line of a failure that no part of the run
// caught (see exitOnStrayException).
void rememberExitPath(const RunOptions& options);

// The last resort for an exception no part of the run caught: the reason on
// standard error, the exit line, and status 2 for a lack of memory or 4
// otherwise. Allocates nothing.
[[noreturn]] void exitOnStrayException(std::exception_ptr error);

// The error for people on standard error (position, source line, caret); when
// playing also the report and the prompt on standard output, where space hands
// over to the editor. Ends with status 3 unless the editor took over.
[[noreturn]] void reportCompileError(const RunOptions& options, const CompileError& error,
                                     const SourceText& text, Terminal& terminal);

}  // namespace quarvel
