// quarvelcd --import IN.mid SCORE: a MIDI file read into a new score.
#pragma once

#include "driver/run_options.h"

namespace quarvel {

// Reads options.importPath, writes the score whole to options.scoreName (or
// standard output for "-"), refusing to replace one unless --force, prints
// the score's name and playing time and, on standard error, what could not
// be kept exactly. Answers the exit status: 0, 1 for a file that cannot be
// read or imported or a score that exists, 4 when the score cannot be written.
int runImport(const RunOptions& options);

}  // namespace quarvel
