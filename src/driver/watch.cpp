#include "driver/watch.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
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

// A compiled version of the score with everything that plays it, and the
// range it plays: the one --from and --to choose, or the whole score when
// they choose nothing in this version (which the user is told).
struct Version {
    Version(CompiledScore compiled, const RunOptions& options, const std::optional<BarPlace>& from,
            const std::optional<BarPlace>& to)
        : score(std::move(compiled)),
          tables(buildTables(score.instruments)),
          player(score, tables, options.startPart) {
        std::string problem;
        if (auto chosen = resolveRange(from, to, score.sourceMap, player.timeline(), &problem)) {
            range = *chosen;
        } else {
            diagnose(problem + "; playing the whole score");
            range = FrameRange{0, player.timeline().totalFrames(), std::nullopt};
        }
    }

    const CompiledScore score;
    const Tables tables;
    Player player;
    FrameRange range;
};

// The compile error shown just above the status line, to be erased when the
// next save compiles or errs.
class ShownError {
  public:
    explicit ShownError(StatusLine& status) : status_(status) {}

    void show(const std::string& text, std::int64_t line) {
        status_.erase();
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
        rows_ = status_.canEraseAbove() ? rowsOf(text, StatusLine::width()) : 0;
        line_ = line;
    }
    // The error shown goes (once other lines follow it, only from the line).
    void erase() {
        status_.eraseRowsAbove(rows_);
        rows_ = 0;
        line_.reset();
    }
    // Other lines went out below it: it can no longer be erased.
    void buried() { rows_ = 0; }
    const std::optional<std::int64_t>& line() const { return line_; }

  private:
    StatusLine& status_;
    std::size_t rows_ = 0;  // terminal rows of the error just above the status line
    std::optional<std::int64_t> line_;
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
    // Plays from where the player stands until the end of the range (round
    // and round with --loop), a quit, or the end of the sound. A save or a
    // key that moves the player while the last buffer is handed over goes on
    // playing from the new place.
    void play() {
        jumped_ = false;
        SampleSink sink({true, false, false, ""}, this, openAlsaDevice,
                        [this](std::chrono::milliseconds ms) { files_.sleep(ms); });
        sink_ = &sink;
        handed_.restart();
        sink.setPollHook([this] { drawStatus(); });
        try {
            pushBuffers(
                sink, false,
                [this](std::uint32_t* buffer) {
                    jumped_ = false;  // a jump before this buffer is in it
                    const std::size_t filled = fill(buffer);
                    handed_.hand(filled);
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
        Player& player = version_->player;
        const FrameRange& range = version_->range;
        handed_.continueFrom(player.frame());
        return fillFromRange(player, range, buffer, options_.loop, [&](std::size_t filled) {
            handed_.continueFrom(range.start, filled);
        });
    }

    // The frame of the current version sounding now.
    std::uint64_t soundingFrame() {
        if (!version_) return 0;
        const auto frame = handed_.at(sink_ ? sink_->framesPlayed() : handed_.handed());
        if (!frame) return idleFrame_;
        const FrameRange& range = version_->range;
        if (range.end > range.start) return std::clamp(*frame, range.start, range.end - 1);
        return range.start;
    }

    void jumpTo(std::uint64_t frame) {
        version_->player.seekFrame(frame);
        handed_.jumpTo(frame);
        idleFrame_ = frame;
        jumped_ = true;
    }

    // A bar back or forward in time from the bar sounding, within the range.
    bool moveBar(int step) {
        if (!version_) return false;
        const bool sounding = sink_ != nullptr;
        const auto frame = barStep(version_->player.timeline(), version_->range,
                                   sounding ? soundingFrame() : idleFrame_, sounding, step);
        if (frame) jumpTo(*frame);
        return frame.has_value();
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
            error_.buried();
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
        std::unique_ptr<Version> next;
        try {
            CompiledScore score =
                compileScore(text, options_.dialect, CompileOptions{.warnings = warnings_});
            error_.erase();  // the save compiles: the error shown for an earlier one goes
            printWarnings(options_, warnings_, score, text, options_.startPart);
            next = std::make_unique<Version>(std::move(score), options_, from_, to_);
        } catch (const CompileError& error) {
            error_.erase();  // a new error takes the place of the one shown
            printWarningsBefore(options_, warnings_, error, text);
            error_.show(compileErrorText(options_, error, text), error.where.line);
            return false;
        } catch (const std::bad_alloc&) {
            diagnose("no memory to compile " + options_.sourcePath);
            error_.buried();
            return false;
        }
        std::uint64_t start = next->range.start;
        if (version_ && !idle_) {
            if (const auto bar = sounding()) {
                start = nearestBarStart(next->player.timeline(), next->score.sourceMap.bars.size(),
                                        next->range, *bar);
            }
        }
        version_ = std::move(next);
        jumpTo(start);
        return true;
    }

    std::optional<std::size_t> sounding() {
        if (!version_) return std::nullopt;
        const auto position = version_->player.timeline().at(soundingFrame());
        return position ? position->bar : std::nullopt;
    }

    void drawStatus() {
        if (!status_.due()) return;
        StatusView view;
        if (version_) {
            view = viewAt(version_->player.timeline(), idle_ ? idleFrame_ : soundingFrame());
        }
        view.name = name_;
        if (files_.folderLost()) {
            view.note = "the folder is gone: waiting for it";
        } else if (error_.line()) {
            view.note = "error at line " + std::to_string(*error_.line());
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
    ShownError error_{status_};
    WarningSet warnings_;  // those --warn and --no-warn chose
    SampleSink* sink_ = nullptr;
    HandedSound handed_;
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
