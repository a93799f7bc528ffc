// A range of the rendering to play, write or check: --from BAR or LINE:COL,
// --to BAR, and --loop.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "compiler/score_image.h"
#include "output/render_loop.h"
#include "synth/player.h"

namespace quarvel {

// Where a range starts or ends, as written on the command line.
struct BarPlace {
    std::optional<std::size_t> bar;  // a bar number (from 1)
    std::int64_t line = 0;           // or a place in the text (from 1)
    std::int64_t column = 0;
};

// "12" or "3:17"; nullopt, with the reason, for anything else.
std::optional<BarPlace> parseBarPlace(const std::string& text, bool placeAllowed,
                                      std::string* problem);

// Frames [start, end) of the rendering laid out by `timeline`.
struct FrameRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::optional<std::size_t> firstBar;  // the bar the range starts at (an index)
};

// The range that --from and --to (either may be missing) choose in this
// rendering: from the first pass over the start bar to the end of the first
// pass over the end bar at or after it. nullopt, with the reason, when a bar
// does not exist or does not sound there, or the end lies before the start.
std::optional<FrameRange> resolveRange(const std::optional<BarPlace>& from,
                                       const std::optional<BarPlace>& to, const SourceMap& map,
                                       const Timeline& timeline, std::string* problem);

// Fills a buffer of kBufferFrames from the player within the range; with
// loop, the range's end runs straight into its start (rewinding is told how
// many frames the buffer held then). Less than full only at the end.
std::size_t fillFromRange(Player& player, const FrameRange& range, std::uint32_t* buffer, bool loop,
                          const std::function<void(std::size_t)>& rewinding = {});

// Plays (writes, checks) the range once, or again and again with `loop`
// until the sink answers that the user stopped. The player may stand
// anywhere; it is moved to the start of the range.
RenderResult renderRange(Player& player, FrameSink& sink, const FrameRange& range, bool loop,
                         bool keepCrc);

// Moving within a range: the first frame of bar `bar` (an index) if it
// starts within the range, else of the nearest bar after it, else before it,
// that does; the range's start when none does.
std::uint64_t nearestBarStart(const Timeline& timeline, std::size_t barCount,
                              const FrameRange& range, std::size_t bar);

// A step of `step` bars (in the order the rendering plays them) from the
// frame `now`: the first frame of the bar landed on, the range's start for a
// step back past it, nullopt for a step forward past the range's end.
// `sounding`: now is a frame that sounds (the step counts from its bar);
// otherwise now is where the music stopped, and a step forward goes to the
// bar starting after it.
std::optional<std::uint64_t> barStep(const Timeline& timeline, const FrameRange& range,
                                     std::uint64_t now, bool sounding, int step);

// Where the sound handed to the device comes from, when it comes from
// different places of the rendering one after another (watch mode moves on
// a save or a key): every segment starts at a count of frames handed over
// and plays the rendering on from a frame.
class HandedSound {
  public:
    // A new sink: nothing handed over yet, nowhere to come from.
    void restart();
    // Frames handed over since the restart.
    std::uint64_t handed() const { return handed_; }
    void hand(std::uint64_t frames) { handed_ += frames; }
    // From `handed() + ahead` frames on, the sound comes from `frame`.
    void continueFrom(std::uint64_t frame, std::uint64_t ahead = 0);
    // Only the place from now on counts: what was queued is dropped.
    void jumpTo(std::uint64_t frame);
    // The frame sounding once `played` frames have been played; nullopt
    // before anything was handed over from anywhere.
    std::optional<std::uint64_t> at(std::uint64_t played);

  private:
    struct Segment {
        std::uint64_t handed;
        std::uint64_t frame;
    };
    std::uint64_t handed_ = 0;
    std::deque<Segment> segments_;
};

}  // namespace quarvel
