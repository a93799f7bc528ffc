// The ways a run leaves its normal course: a failure status, a compile error
// report with the offer to edit, and the hand-over to the user's editor.
#pragma once

#include <string>

#include "compiler/source_reader.h"
#include "driver/run_options.h"
#include "driver/terminal.h"

namespace quarvel {

// Prints "exit <status> <sourcePath>" and ends the process with that status.
[[noreturn]] void exitWith(const RunOptions& options, int status);

// While playing: when a sound device call does not come back in time
// (SIGALRM), put the terminal back, say so, print the exit line and end with
// status 4.
void armDeviceHangExit(const RunOptions& options);

// One line on standard error: "quarvelcd: <message>".
void diagnose(const std::string& message);

// The error for people on standard error (position, source line, caret); when
// playing also the report and the prompt on standard output, where space hands
// over to the editor. Ends with status 3 unless the editor took over.
[[noreturn]] void reportCompileError(const RunOptions& options, const CompileError& error,
                                     const SourceText& text, Terminal& terminal);

// Replaces the program by $QUARVEL_EDIT opened on the score. Returns only when
// that cannot be done, after saying why.
void editorHandOff(const RunOptions& options);

// The source line and caret shown under a compile error diagnostic.
std::string errorContext(const CompileError& error, const SourceText& text);

}  // namespace quarvel
