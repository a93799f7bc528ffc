// The files a run writes besides (or instead of) its mode: the MIDI file of
// --midi and the sound file of --export.
#pragma once

#include "compiler/score_image.h"
#include "driver/run_options.h"
#include "output/midi_file.h"
#include "synth/tables.h"

namespace quarvel {

// The MIDI file's name: the one given, or the WAVE file's name with ".mid".
std::string midiPathOf(const RunOptions& options);

// Writes what --midi and --export ask for. Alone (no -w, no -c) each file's
// name and playing time is printed as -w prints its result line, and the run
// is done: answers true. With -w or -c, the files are written silently before
// the mode's own rendering. A failure ends the run with its exit status.
// range: the frames --from/--to chose (the whole rendering by default).
bool writeExports(const RunOptions& options, const CompiledScore& score, const Tables& tables,
                  ExportRange range = {});

}  // namespace quarvel
