// --watch: play the score and keep watching its file. Every save is compiled
// at once; music that compiles takes over from the bar that was sounding,
// with the sound already queued on the device dropped; an error shows above
// the status line while the old music plays on. At the end of the music the
// program waits for the next save (or plays the range again with --loop).
//
// Keys: ESC or q quits, space starts again from the first bar of the range,
// the left and right arrows move a bar back or forward, TAB skips what is
// queued.
#pragma once

#include <optional>

#include "compiler/source_reader.h"
#include "compiler/warnings.h"
#include "driver/play_range.h"
#include "driver/run_options.h"
#include "driver/terminal.h"

namespace quarvel {

// Runs until the user quits; answers the exit status. `warnings`: those the
// run prints, on every save.
int runWatch(const RunOptions& options, const WarningSet& warnings, Terminal& terminal,
             const SourceText& text, const std::optional<BarPlace>& from,
             const std::optional<BarPlace>& to);

}  // namespace quarvel
