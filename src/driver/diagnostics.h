// Diagnostics for people and tools: the warnings the compiler found, printed
// compiler style on standard error, and the check mode (--check), which
// compiles only and reports errors and warnings, as text or as JSON lines.
#pragma once

#include <optional>
#include <string>

#include "compiler/score_compiler.h"
#include "compiler/warnings.h"
#include "driver/run_options.h"

namespace quarvel {

// The warnings to print: the defaults changed by --warn and --no-warn in
// order. An unknown name is a usage error: it is named on standard error, the
// usage follows on standard output, and nullopt tells the caller to end with
// status 1.
std::optional<WarningSet> enabledWarnings(const RunOptions& options);

// Prints the enabled warnings of a compile on standard error, each as
// "quarvelcd: <path>:<line>:<col>: warning: <message> [<name>]" with the
// source line and a caret, in the order of the text. startPart: the -g part
// when it applies (0 otherwise).
void printWarnings(const RunOptions& options, const WarningSet& enabled, const CompiledScore& score,
                   const SourceText& text, int startPart);
// The warnings found before a compile error.
void printWarningsBefore(const RunOptions& options, const WarningSet& enabled,
                         const CompileError& error, const SourceText& text);

// --check after the compile: the diagnostics (with --json as JSON lines on
// standard output, otherwise as text on standard error) and the status, 0.
int checkPassed(const RunOptions& options, const WarningSet& enabled, const CompiledScore& score,
                const SourceText& text, int startPart);
// A compile error for people on standard error: the place of the fault (an
// error at the end of the text on the file's last line), the message naming
// the command, the source line and a caret.
void printCompileError(const RunOptions& options, const CompileError& error,
                       const SourceText& text);
// The lines printCompileError writes, each ending with a line end.
std::string compileErrorText(const RunOptions& options, const CompileError& error,
                             const SourceText& text);
// --check after a compile error: the diagnostics and status 3.
int checkFailed(const RunOptions& options, const WarningSet& enabled, const CompileError& error,
                const SourceText& text);

// One JSON object for one diagnostic, without the line end. line 0 writes
// null for the line and the column; endColumn 0 leaves it out; number 0 is a
// warning.
std::string jsonDiagnostic(const std::string& file, std::int64_t line, std::int64_t column,
                           std::int64_t endColumn, int number, const std::string& code,
                           const std::string& message);

}  // namespace quarvel
