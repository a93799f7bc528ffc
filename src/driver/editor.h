// The hand-over to the user's editor, opened on the score (at a line when the
// editor takes one).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/run_options.h"

namespace quarvel {

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

}  // namespace quarvel
