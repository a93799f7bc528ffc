// The ways a run leaves its normal course: a failure status, a compile error
// report with the offer to edit, and the hand-over to the user's editor.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// One line on standard error: "quarvelcd: <message>", the message shown
// inert (see below), so a file name cannot drive the terminal or break the line.
void diagnose(const std::string& message);

// Text in a visible, inert form: control bytes other than tab in caret
// notation ("^[", "^?"), C1 controls (a lone byte 0x80..0x9F, or one encoded
// in UTF-8) as "\x9b"; valid UTF-8 and other bytes as they are.
std::string inert(std::string_view text);
// The same, written to a stream in pieces without a copy of the text.
void writeInert(std::FILE* out, std::string_view text);

// The score's name for the exit line of a failure that no part of the run
// caught (see exitOnStrayException).
void rememberExitPath(const RunOptions& options);

// The last resort for an exception no part of the run caught: the reason on
// standard error, the exit line, and status 2 for a lack of memory or 4
// otherwise. Allocates nothing.
[[noreturn]] void exitOnStrayException(const std::exception* error, bool outOfMemory);

// The error for people on standard error (position, source line, caret); when
// playing also the report and the prompt on standard output, where space hands
// over to the editor. Ends with status 3 unless the editor took over.
[[noreturn]] void reportCompileError(const RunOptions& options, const CompileError& error,
                                     const SourceText& text, Terminal& terminal);

// Replaces the program by the user's editor opened on the score: the command
// line in $QUARVEL_EDIT, else $VISUAL, else $EDITOR, with the score's path as
// its last argument, and "+LINE" before it when a line is given and the
// editor takes one. Returns only when that cannot be done, after saying why.
void editorHandOff(const RunOptions& options, std::optional<std::int64_t> line = std::nullopt);

// An editor command line split into words as a shell splits simple ones:
// blanks separate, single quotes keep everything, double quotes keep all but
// the backslash before " \ $ and `, a backslash outside quotes keeps the next
// character. Nothing is expanded. nullopt, with the reason, for an unclosed
// quote or no word at all.
std::optional<std::vector<std::string>> splitCommandLine(const std::string& text,
                                                         std::string* problem = nullptr);

// Whether the program (a name or a path) opens a file at a line given as
// "+LINE" before it: the vi family, nano, the emacsen, micro, kakoune, ...
bool takesLineArgument(const std::string& program);

// The source line and caret shown under a compile error diagnostic: at most
// about 200 bytes of the line around the caret, "..." where it is cut.
std::string errorContext(const CompileError& error, const SourceText& text);

}  // namespace quarvel
