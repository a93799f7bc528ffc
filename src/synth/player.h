// The player: renders a compiled score on demand. It owns the position in the
// rendering (part, event, run of slices, frame inside the run, the five
// phases and envelope levels) and fills as many frames as it is asked for, so
// the same frames come out whatever the sizes of the requests. It can also
// jump to any frame, bar or part of the rendering without producing the
// frames before it: phases and levels are worked out, not rendered.
//
// Frames are 32-bit: left | right << 16, each a signed 16-bit sample, 44100
// per second. A player reads an immutable score and tables; players share
// nothing mutable, so two of them may run on two threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "compiler/score_image.h"
#include "synth/mix_kernels.h"
#include "synth/sample_format.h"
#include "synth/tables.h"

namespace quarvel {

// Where a frame of the rendering lies in the score.
struct Position {
    std::size_t partIndex = 0;        // into ScoreImage::parts
    int partNumber = 0;               // that part's number
    int soundingPartNumber = 0;       // the part whose events sound: for a replay, the replayed
    std::optional<std::size_t> bar;   // into SourceMap::bars
    std::uint64_t barStartFrame = 0;  // where this pass over the bar began
};

// The rendering laid out in time: one entry per stretch of one bar of one
// part, in the order they sound. Built in one walk over the events, without
// rendering.
class Timeline {
  public:
    struct Stretch {
        std::uint64_t startFrame;
        std::uint32_t partIndex;
        std::optional<std::uint32_t> bar;
    };

    Timeline(const CompiledScore& score, const Tables& tables, int startPart);

    std::uint64_t totalFrames() const { return total_; }
    const std::vector<Stretch>& stretches() const { return stretches_; }
    // Where the given frame lies; the last stretch for frames past the end.
    // nullopt when nothing is rendered.
    std::optional<Position> at(std::uint64_t frame) const;
    // The first frame of the first pass over a bar or over a part with this
    // number; nullopt when this rendering has no such bar or part (a part
    // without events starts where the next part with events does, or at the
    // end).
    std::optional<std::uint64_t> startOfBar(std::size_t bar) const;
    std::optional<std::uint64_t> startOfPart(int number) const;

  private:
    const CompiledScore& score_;
    std::size_t firstPart_;  // the start part's index; parts.size() when none
    std::vector<Stretch> stretches_;
    std::vector<std::uint8_t> soundingNumbers_;  // by part index
    std::uint64_t total_ = 0;
};

// Frames of the rendering from the first part numbered startPart (0: from
// the first part), worked out without rendering.
std::uint64_t renderedFrames(const CompiledScore& score, const Tables& tables, int startPart);

class Player {
  public:
    // Plays from the first part numbered startPart (0: from the start), with
    // the fastest frame loop this processor runs unless one is named. The
    // score and tables must outlive the player.
    Player(const CompiledScore& score, const Tables& tables, int startPart = 0,
           MixKernel kernel = selectMixKernel());
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Fills up to `frames` frames; answers how many, 0 at the end.
    std::size_t render(std::uint32_t* out, std::size_t frames);

    bool atEnd() const;
    // Frames rendered (or skipped by a seek) since the start of the rendering.
    std::uint64_t frame() const { return frame_; }
    std::uint64_t totalFrames() const;
    // Where the next frame to render lies.
    std::optional<Position> position() const;

    // Moves to a frame of the rendering (clamped to its end); the frames from
    // there are exactly those a whole rendering produces from that frame.
    void seekFrame(std::uint64_t frame);
    // Moves to the start of the first pass over a bar (an index into
    // SourceMap::bars) or a part; false when it does not sound here.
    bool seekBar(std::size_t bar);
    bool seekPart(int number);

    const Timeline& timeline() const;

  private:
    class ScaledWaves;

    void restart();
    bool enterNextEvent();
    bool startRun();
    void finishRun();
    void loadRows();
    void stepEnvelopes();

    const CompiledScore& score_;
    const Tables& tables_;
    MixKernel kernel_;
    int startPart_;
    std::unique_ptr<ScaledWaves> waves_;
    mutable std::unique_ptr<Timeline> timeline_;
    mutable std::optional<std::uint64_t> total_;

    // The position.
    std::size_t firstPart_ = 0;  // the start part's index; parts.size() when none
    std::size_t part_ = 0;
    std::size_t event_ = 0;  // the event sounding, or about to
    bool inEvent_ = false;   // event_'s steps and levels are in force
    int slicesLeft_ = 0;     // slices of event_ not yet rendered
    int sliceFrames_ = 2;
    std::uint8_t decayCounter_ = 0;
    int runSlices_ = 0;
    std::uint64_t runFramesLeft_ = 0;
    std::uint64_t frame_ = 0;
    bool ended_ = false;
    std::array<std::uint8_t, kVoices> level_{};
    MixState mix_;  // phases run on across events and parts

    // Frames of the run under way made ahead of a small request; the mix
    // state stands behind them.
    static constexpr std::size_t kAhead = 1024;
    std::array<std::uint32_t, kAhead> ahead_{};
    std::size_t aheadStart_ = 0;
    std::size_t aheadCount_ = 0;
};

}  // namespace quarvel
