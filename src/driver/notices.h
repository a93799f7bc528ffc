// What the program tells people on standard error about its own choices:
// which file it reads when the name given is another file, which bars a file
// cut by --from/--to holds, the warnings for --help; and a score that cannot
// be read, as --check --json reports it.
#pragma once

#include <cstdint>
#include <string>

#include "driver/run_options.h"
#include "synth/player.h"

namespace quarvel {

// When the name as typed is an existing file other than the one read (the
// name with ".qvl"), says which file is read and why.
void noteFileRead(const RunOptions& options);

// The score cannot be read: the reason in words on standard error, or as a
// JSON diagnostic on standard output under --check --json.
void reportUnreadable(const RunOptions& options, const std::string& reason);

// "bars 9 to 16 of 32": the bars that frames [start, end) of the rendering hold.
std::string barsHeld(const Timeline& timeline, std::size_t barCount, std::uint64_t start,
                     std::uint64_t end);
// A file cut by --from/--to holds only part of the score: says so.
void noteRangeWritten(const std::string& file, const std::string& bars);

// The warnings by name with their summaries, * for those on by default.
std::string warningHelpText();

}  // namespace quarvel
