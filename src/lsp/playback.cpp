#include "lsp/playback.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "driver/play_range.h"
#include "driver/status_line.h"
#include "lsp/text_lines.h"
#include "output/audio_device.h"
#include "output/output_error.h"
#include "output/sample_sink.h"

extern char** environ;

namespace quarvel::lsp {

namespace {

// The stop command is the ESC key of a terminal player.
class StopKey : public KeyInput {
  public:
    explicit StopKey(const std::atomic<bool>& wanted) : wanted_(wanted) {}
    std::optional<int> pollKey() override {
        if (wanted_.load()) return kKeyEscape;
        return std::nullopt;
    }

  private:
    const std::atomic<bool>& wanted_;
};

}  // namespace

Playback::~Playback() {
    stop();
}

bool Playback::stop() {
    const bool was = playing_.load();
    stopWanted_ = true;
    if (thread_.joinable()) thread_.join();
    stopWanted_ = false;
    return was;
}

std::string Playback::play(const std::string& uri, const std::string& text, Dialect dialect,
                           std::size_t offset) {
    stop();
    auto score = std::make_shared<CompiledScore>();
    try {
        *score = compileScore(SourceText(text), dialect, CompileOptions{.warnings = WarningSet()});
    } catch (const CompileError& error) {
        return "the score does not compile: error " + std::to_string(error.number) + " at " +
               std::to_string(error.where.line) + ":" + std::to_string(error.where.column) + ": " +
               error.what;
    }
    auto tables = std::make_shared<Tables>(buildTables(score->instruments));
    auto player = std::make_shared<Player>(*score, *tables, 0);
    const TextPoint place = score->sourceMap.pointAt(std::min(offset, text.size()));
    std::string problem;
    const auto range = resolveRange(BarPlace{std::nullopt, place.line, place.column}, std::nullopt,
                                    score->sourceMap, player->timeline(), &problem);
    if (!range) return problem;
    playing_ = true;
    thread_ = std::thread([this, uri, text, score, tables, player, range = *range] {
        const TextLines lines(text);
        const auto rangeOf = [&](const TextSpan& span) {
            const LinePosition a = lines.positionOf(span.first);
            const LinePosition b = lines.positionOf(span.last + 1);
            return nlohmann::json{{"start", {{"line", a.line}, {"character", a.character}}},
                                  {"end", {{"line", b.line}, {"character", b.character}}}};
        };
        std::optional<std::size_t> shown;
        bool shownOnce = false;
        StopKey keys(stopWanted_);
        try {
            SampleSink sink({true, false, false, ""}, &keys, openAlsaDevice);
            const auto show = [&](std::uint64_t frame) {
                const auto where = player->timeline().at(frame);
                if (!where || (shownOnce && where->bar == shown)) return;
                shown = where->bar;
                shownOnce = true;
                nlohmann::json params{{"uri", uri},
                                      {"playing", true},
                                      {"part", where->partNumber},
                                      {"seconds", static_cast<double>(frame) / kFrameRate}};
                if (where->bar) {
                    params["bar"] = *where->bar + 1;
                    params["range"] = rangeOf(score->sourceMap.bars[*where->bar].text);
                }
                notify_("quarvel/playing", params);
            };
            show(range.start);
            sink.setPollHook(
                [&] { show(soundingFrame(sink.framesPlayed(), range.start, range.end, false)); });
            renderRange(*player, sink, range, false, false);
        } catch (const OutputError& error) {
            notify_(
                "window/showMessage",
                {{"type", 1}, {"message", std::string("quarvelcd cannot play: ") + error.what()}});
        } catch (const std::exception& error) {
            notify_(
                "window/showMessage",
                {{"type", 1}, {"message", std::string("quarvelcd cannot play: ") + error.what()}});
        }
        playing_ = false;
        notify_("quarvel/playing", {{"uri", uri}, {"playing", false}});
    });
    return "";
}

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    ProgramRun run;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (failed != 0) {
        ::close(pipeEnds[0]);
        run.output = "cannot start " + program;
        return run;
    }
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(pipeEnds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        run.output.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace quarvel::lsp
