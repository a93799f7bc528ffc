#include "driver/watch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <new>
#include <vector>

#include "driver/diagnostics.h"
#include "driver/exits.h"
#include "driver/file_watch.h"
#include "driver/messages.h"
#include "driver/read_file.h"
#include "driver/status_line.h"
#include "output/audio_device.h"
#include "output/output_error.h"
#include "output/render_loop.h"
#include "output/sample_sink.h"
#include "synth/tables.h"

namespace quarvel {

namespace {

constexpr std::chrono::milliseconds kPoll{50};

const char kKeys[] = "ESC quit \u00b7 space restart \u00b7 \u2190\u2192 bar";

// A compiled version of the score with everything that plays it.
struct Version {
    std::unique_ptr<const CompiledScore> score;
    std::unique_ptr<const Tables> tables;
    std::unique_ptr<Player> player;
    FrameRange range;
};

class WatchSession : public KeyInput {
  public:
    WatchSession(const RunOptions& options, const WarningSet& warnings, Terminal& terminal,
                 std::optional<BarPlace> from, std::optional<BarPlace> to)
        : options_(options),
          terminal_(terminal),
          from_(std::move(from)),
          to_(std::move(to)),
          files_(options.sourcePath),
          name_(std::filesystem::path(options.sourcePath).filename().string()),
          warnings_(warnings) {}

    int run(const SourceText& text) {
        if (!files_.error().empty()) {
            diagnose("cannot watch " + options_.sourcePath + ": " + files_.error());
            exitWith(options_, ExitStatus::usage);
        }
        if (!build(text)) idle();
        while (!quit_) {
            play();
            if (quit_) break;
            if (jumped_) continue;  // a save or a key during the last sound
            idle();
        }
        status_.erase();
        return 0;
    }

    void beginWait() override { terminal_.beginWait(); }
    void endWait() override { terminal_.endWait(); }

    // Called at every poll of the sink: saves first, then the keys. A save
    // or a move answers TAB, so that the sink drops what is queued and the
    // next buffer comes from the new place.
    std::optional<int> pollKey() override {
        if (files_.takeSave() && reload()) return kKeyTab;
        const auto key = terminal_.pollKey();
        if (!key) return std::nullopt;
        switch (*key) {
            case kKeyEscape:
            case 'q':
            case 'Q':
                quit_ = true;
                return kKeyEscape;
            case kKeySpace:
                if (version_) jumpTo(version_->range.start);
                return kKeyTab;
            case kKeyLeft:
            case kKeyRight:
                return moveBar(*key == kKeyLeft ? -1 : 1) ? std::optional<int>(kKeyTab)
                                                          : std::nullopt;
            case kKeyTab:
                return kKeyTab;
            default:
                return std::nullopt;
        }
    }

  private:
    // Where the handed-over sound came from: from `handed` frames on, the
    // device plays the rendering from `frame`.
    struct Segment {
        std::uint64_t handed;
        std::uint64_t frame;
    };

    // Plays from where the player stands until the end of the range (round
    // and round with --loop), a quit, or the end of the sound. A save or a
    // key that moves the player while the last buffer is handed over goes on
    // playing from the new place.
    void play() {
        jumped_ = false;
        SampleSink sink({true, false, false, ""}, this, openAlsaDevice,
                        [this](std::chrono::milliseconds ms) { files_.sleep(ms); });
        sink_ = &sink;
        handed_ = 0;
        segments_.clear();
        sink.setPollHook([this] { drawStatus(); });
        try {
            pushBuffers(
                sink, false,
                [this](std::uint32_t* buffer) {
                    jumped_ = false;  // a jump before this buffer is in it
                    const std::size_t filled = fill(buffer);
                    handed_ += filled;
                    return filled;
                },
                [this] { return jumped_; });
        } catch (const OutputError& error) {
            sink_ = nullptr;
            diagnose(error.what());
            exitWith(options_, error.status);
        }
        sink_ = nullptr;
    }

    // One buffer from the player; less than full at the end of the range.
    std::size_t fill(std::uint32_t* buffer) {
        Player& player = *version_->player;
        const FrameRange& range = version_->range;
        noteSegment(handed_, player.frame());
        return fillFromRange(player, range, buffer, options_.loop, [&](std::size_t filled) {
            noteSegment(handed_ + filled, range.start);
        });
    }

    void noteSegment(std::uint64_t handed, std::uint64_t frame) {
        if (!segments_.empty() && segments_.back().handed == handed) segments_.pop_back();
        segments_.push_back({handed, frame});
    }

    // The frame of the current version sounding now.
    std::uint64_t soundingFrame() {
        if (!version_) return 0;
        const std::uint64_t played = sink_ ? sink_->framesPlayed() : handed_;
        while (segments_.size() > 1 && segments_[1].handed <= played) segments_.pop_front();
        if (segments_.empty()) return idleFrame_;
        const Segment& s = segments_.front();
        const std::uint64_t frame = s.frame + (played > s.handed ? played - s.handed : 0);
        const FrameRange& range = version_->range;
        if (range.end > range.start) return std::clamp(frame, range.start, range.end - 1);
        return range.start;
    }

    void jumpTo(std::uint64_t frame) {
        version_->player->seekFrame(frame);
        segments_.clear();
        segments_.push_back({handed_, frame});
        idleFrame_ = frame;
        jumped_ = true;
    }

    // A bar back or forward in time from the bar sounding, within the range.
    bool moveBar(int step) {
        if (!version_) return false;
        const auto& stretches = version_->player->timeline().stretches();
        const FrameRange& range = version_->range;
        if (stretches.empty()) return false;
        const std::uint64_t now = sink_ ? soundingFrame() : idleFrame_;
        auto at = static_cast<std::ptrdiff_t>(
            std::upper_bound(
                stretches.begin(), stretches.end(), now,
                [](std::uint64_t f, const Timeline::Stretch& s) { return f < s.startFrame; }) -
            stretches.begin());
        // `at` is the stretch after the one sounding; after the end, past the last.
        const std::ptrdiff_t target = (sink_ ? at - 1 : at) + step;
        if (target < 0) {
            jumpTo(range.start);
            return true;
        }
        if (target >= static_cast<std::ptrdiff_t>(stretches.size())) return false;
        const std::uint64_t frame = stretches[static_cast<std::size_t>(target)].startFrame;
        if (frame >= range.end) return false;
        jumpTo(std::max(frame, range.start));
        return true;
    }

    // The end of the music: wait for a save or a key.
    void idle() {
        const KeyWait wait(this);
        idle_ = true;
        if (version_) {
            const FrameRange& range = version_->range;
            idleFrame_ = range.end > range.start ? range.end - 1 : range.start;
        }
        while (!quit_ && !jumped_) {
            files_.sleep(kPoll);
            pollKey();
            drawStatus();
        }
        idle_ = false;
    }

    // Reads and compiles the file; false (after saying why) when it cannot.
    bool reload() {
        InputFile file = readInputFile(options_.scoreName, "the score");
        if (!file.read()) {
            diagnose(file.outOfMemory ? "no memory for the score text of " + options_.sourcePath
                                      : "cannot read " + options_.sourcePath + ": " + file.problem);
            errorRows_ = 0;  // no longer the last lines above the status line
            return false;
        }
        const SourceText text(std::move(file.bytes));
        if (lastText_ && lastText_->bytes() == text.bytes()) return false;  // nothing new
        return build(text);
    }

    // Compiles a text; when it compiles, its music takes over from the bar
    // sounding (the same number, or the nearest that sounds), else from the
    // start of the range.
    bool build(const SourceText& text) {
        lastText_ = text;
        auto next = std::make_unique<Version>();
        try {
            next->score = std::make_unique<const CompiledScore>(
                compileScore(text, options_.dialect, CompileOptions{.warnings = warnings_}));
        } catch (const CompileError& error) {
            // A new error takes the place of the one shown.
            status_.eraseRowsAbove(errorRows_);
            printWarningsBefore(options_, warnings_, error, text);
            const std::string shown = compileErrorText(options_, error, text);
            status_.erase();
            std::fputs(shown.c_str(), stderr);
            std::fflush(stderr);
            errorRows_ = status_.canEraseAbove() ? rowsOf(shown, StatusLine::width()) : 0;
            errorLine_ = error.where.line;
            return false;
        } catch (const std::bad_alloc&) {
            diagnose("no memory to compile " + options_.sourcePath);
            errorRows_ = 0;
            return false;
        }
        // The save compiles: the error shown for an earlier one goes.
        status_.eraseRowsAbove(errorRows_);
        errorRows_ = 0;
        errorLine_.reset();
        printWarnings(options_, warnings_, *next->score, text, options_.startPart);
        next->tables = std::make_unique<const Tables>(buildTables(next->score->instruments));
        next->player = std::make_unique<Player>(*next->score, *next->tables, options_.startPart);
        const Timeline& timeline = next->player->timeline();
        std::string problem;
        if (auto range = resolveRange(from_, to_, next->score->sourceMap, timeline, &problem)) {
            next->range = *range;
        } else {
            diagnose(problem + "; playing the whole score");
            next->range = FrameRange{0, timeline.totalFrames(), std::nullopt};
        }
        std::uint64_t start = next->range.start;
        if (version_ && !idle_) {
            if (const auto bar = sounding()) start = nearestBarStart(*next, *bar);
        }
        version_ = std::move(next);
        jumpTo(start);
        return true;
    }

    std::optional<std::size_t> sounding() {
        if (!version_) return std::nullopt;
        const auto position = version_->player->timeline().at(soundingFrame());
        return position ? position->bar : std::nullopt;
    }

    static std::uint64_t nearestBarStart(const Version& version, std::size_t bar) {
        const auto& bars = version.score->sourceMap.bars;
        const FrameRange& range = version.range;
        const Timeline& timeline = version.player->timeline();
        if (bars.empty()) return range.start;
        const std::size_t from = std::min(bar, bars.size() - 1);
        const auto inRange = [&](std::size_t b) -> std::optional<std::uint64_t> {
            const auto start = timeline.startOfBar(b);
            if (start && *start >= range.start && *start < range.end) return start;
            return std::nullopt;
        };
        for (std::size_t b = from; b < bars.size(); ++b) {
            if (const auto start = inRange(b)) return *start;
        }
        for (std::size_t b = from; b-- > 0;) {
            if (const auto start = inRange(b)) return *start;
        }
        return range.start;
    }

    void drawStatus() {
        if (!status_.due()) return;
        StatusView view;
        if (version_) {
            view = viewAt(version_->player->timeline(), idle_ ? idleFrame_ : soundingFrame());
        }
        view.name = name_;
        if (files_.folderLost()) {
            view.note = "the folder is gone: waiting for it";
        } else if (errorLine_) {
            view.note = "error at line " + std::to_string(*errorLine_);
        } else if (idle_) {
            view.note = "ended: waiting for a save";
        } else {
            view.note = options_.loop ? "watching, looping" : "watching";
        }
        view.keys = kKeys;
        status_.draw(formatStatus(view, StatusLine::width()));
    }

    const RunOptions& options_;
    Terminal& terminal_;
    std::optional<BarPlace> from_;
    std::optional<BarPlace> to_;
    FileWatch files_;
    std::string name_;
    StatusLine status_;
    std::unique_ptr<Version> version_;
    std::optional<SourceText> lastText_;
    std::optional<std::int64_t> errorLine_;
    std::size_t errorRows_ = 0;  // terminal rows of the error shown just above the line
    WarningSet warnings_;        // those --warn and --no-warn chose
    SampleSink* sink_ = nullptr;
    std::uint64_t handed_ = 0;
    std::deque<Segment> segments_;
    std::uint64_t idleFrame_ = 0;
    bool quit_ = false;
    bool jumped_ = false;
    bool idle_ = false;
};

}  // namespace

int runWatch(const RunOptions& options, const WarningSet& warnings, Terminal& terminal,
             const SourceText& text, const std::optional<BarPlace>& from,
             const std::optional<BarPlace>& to) {
    WatchSession session(options, warnings, terminal, from, to);
    return session.run(text);
}

}  // namespace quarvel
