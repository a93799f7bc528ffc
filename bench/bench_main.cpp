// Rerunnable benchmark: how fast the renderer, the whole program and the
// compiler are, as ratios measured in one run on this machine.
//
//   bench/run            (builds release, then runs this on bench/long_score.qvl)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "driver/messages.h"
#include "notation/musicxml.h"
#include "output/render_loop.h"
#include "support/reference_renderer.h"
#include "synth/mix_kernels.h"
#include "synth/player.h"
#include "synth/tables.h"

using namespace quarvel;
using Clock = std::chrono::steady_clock;

namespace {

// Takes every buffer back at once, as the CRC mode does.
class DiscardSink : public FrameSink {
  public:
    std::uint32_t* exchangeBuffer(std::uint32_t*, int) override { return buffer_.data(); }

  private:
    std::vector<std::uint32_t> buffer_ = std::vector<std::uint32_t>(kBufferFrames);
};

double bestSeconds(int runs, const std::function<void()>& work) {
    double best = 1e100;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs a command line, its output and diagnostics (the warnings about the
// generated score) to /dev/null; returns its peak memory in KiB.
long runQuiet(const std::vector<std::string>& argv) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", argv[0].c_str());
        std::exit(1);
    }
    return usage.ru_maxrss;
}

// The language server as an editor drives it: a child on two pipes.
class ServerChild {
  public:
    explicit ServerChild(const std::string& binary) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) std::exit(1);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            freopen("/dev/null", "w", stderr);
            close(in[1]);
            close(out[0]);
            execl(binary.c_str(), binary.c_str(), "--lsp", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~ServerChild() {
        send(R"({"jsonrpc":"2.0","id":99,"method":"shutdown"})");
        send(R"({"jsonrpc":"2.0","method":"exit"})");
        close(to_);
        close(from_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    void send(const std::string& body) {
        const std::string whole =
            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        for (std::size_t done = 0; done < whole.size();) {
            const ssize_t n = write(to_, whole.data() + done, whole.size() - done);
            if (n <= 0) std::exit(1);
            done += static_cast<std::size_t>(n);
        }
    }
    // Reads messages until one holds `what`.
    void waitFor(const std::string& what) {
        for (;;) {
            const auto end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos) {
                const std::size_t length = std::stoul(buffer_.substr(buffer_.find(':') + 1));
                if (buffer_.size() >= end + 4 + length) {
                    const bool found =
                        buffer_.compare(end + 4, length, what) == 0 ||
                        buffer_.substr(end + 4, length).find(what) != std::string::npos;
                    buffer_.erase(0, end + 4 + length);
                    if (found) return;
                    continue;
                }
            }
            char chunk[65536];
            const ssize_t n = read(from_, chunk, sizeof chunk);
            if (n <= 0) {
                std::fprintf(stderr, "bench: the language server ended\n");
                std::exit(1);
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

  private:
    pid_t pid_ = 0;
    int to_ = -1;
    int from_ = -1;
    std::string buffer_;
};

// Seconds from a change (a comment appended) to its diagnostics, best of a
// few, with the server's quiet time after a change set to debounceMs.
double changeToDiagnostics(const std::string& binary, const std::string& text, int debounceMs) {
    ServerChild server(binary);
    server.send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":{},)"
                R"("initializationOptions":{"debounceMs":)" +
                std::to_string(debounceMs) + "}}}");
    server.waitFor(R"("id":1)");
    const std::string uri = R"("uri":"file:///bench/long_score.qvl")";
    server.send(R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{"textDocument":{)" +
                uri + R"(,"languageId":"quarvel","version":1,"text":)" + jsonString(text) + "}}}");
    server.waitFor("publishDiagnostics");
    int version = 1;
    return bestSeconds(3, [&] {
        ++version;
        const std::string changed = text + "/ edit " + std::to_string(version) + "\n";
        server.send(
            R"({"jsonrpc":"2.0","method":"textDocument/didChange","params":{"textDocument":{)" +
            uri + R"(,"version":)" + std::to_string(version) + R"(},"contentChanges":[{"text":)" +
            jsonString(changed) + "}]}}");
        server.waitFor("publishDiagnostics");
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: quarvel_bench <quarvelcd binary> <score.qvl> [scratch dir]\n");
        return 2;
    }
    const std::string binary = argv[1];
    const std::string scorePath = argv[2];
    const std::string scratch = argc > 3 ? argv[3] : "/tmp";
    const std::string text = readFile(scorePath);
    const CompiledScore score = compileScore(SourceText(text), Dialect::combined);
    const Tables tables = buildTables(score.instruments);

    DiscardSink sink;
    RenderResult result;
    const MixKernel fastest = selectMixKernel();
    const double product =
        bestSeconds(3, [&] { result = renderScore(score, tables, 0, sink, fastest); });
    const double portable =
        bestSeconds(3, [&] { renderScore(score, tables, 0, sink, mixPortable); });
    const double reference = bestSeconds(2, [&] { referenceRenderScore(score, tables, 0, sink); });
    const double frames = result.samplesRendered;
    const double audioSeconds = frames / kFrameRate;
    std::printf("score: %s, %.0f frames (%.1f minutes of sound)\n", scorePath.c_str(), frames,
                audioSeconds / 60);
    std::printf("renderer, in process (best of several runs):\n");
    const auto line = [&](const char* name, double seconds) {
        std::printf("  %-28s %8.1f Mframes/s %9.0fx real time %6.2fx reference\n", name,
                    frames / seconds / 1e6, audioSeconds / seconds, reference / seconds);
    };
    line(fastest == mixPortable ? "product (portable loop)" : "product (vector loop)", product);
    line("product, portable loop", portable);
    line("per-frame reference loop", reference);

    // Pulling from a player in chunks, as an audio callback does, against the
    // push loop without its CRC (the pulls sum nothing either).
    const double pushed =
        bestSeconds(3, [&] { renderScore(score, tables, 0, sink, fastest, false); });
    std::printf(
        "pulling from a player, against pushing 4096-frame buffers without the CRC"
        " (%.1f Mframes/s):\n",
        frames / pushed / 1e6);
    std::vector<std::uint32_t> chunk(4096);
    for (const std::size_t size : {std::size_t{4096}, std::size_t{128}}) {
        const double pulled = bestSeconds(3, [&] {
            Player player(score, tables, 0, fastest);
            while (player.render(chunk.data(), size) == size) {
            }
        });
        std::printf(
            "  %4zu-frame chunks             %8.1f Mframes/s %9.0fx real time %6.2fx the push "
            "speed\n",
            size, frames / pulled / 1e6, audioSeconds / pulled, pushed / pulled);
    }
    {
        Player player(score, tables, 0, fastest);
        const std::size_t lastBar = score.sourceMap.bars.size() - 1;
        const double seek = bestSeconds(5, [&] { player.seekBar(lastBar); });
        Player fresh(score, tables, 0, fastest);
        const double firstSeek = bestSeconds(1, [&] { fresh.seekBar(lastBar); });
        std::printf(
            "  seek to the last bar (%zu)     %8.3f ms (%.3f ms with laying out the timeline)\n",
            lastBar + 1, seek * 1e3, firstSeek * 1e3);
    }

    // The whole program, start-up and compile included.
    long peakKiB = 0;
    const double crcRun = bestSeconds(5, [&] { peakKiB = runQuiet({binary, "-c", scorePath}); });
    std::printf("whole program:\n");
    std::printf("  quarvelcd -c                 %8.3f s %9.0fx real time, peak memory %.1f MB\n",
                crcRun, audioSeconds / crcRun, static_cast<double>(peakKiB) / 1024.0);

    // -w against a plain write of the same bytes to the same disk.
    const std::string stem = scratch + "/quarvel_bench_score";
    { std::ofstream(stem + ".qvl", std::ios::binary) << text; }
    // Alternate the two, each into a file removed beforehand, so both meet
    // the same disk and page cache; keep the best of each.
    const std::size_t bytes = 46 + static_cast<std::size_t>(frames) * 4;
    const std::string plainPath = scratch + "/quarvel_bench_plain.bin";
    std::vector<char> block(1 << 20, 1);
    double wavRun = 1e100;
    double plainWrite = 1e100;
    for (int round = 0; round < 7; ++round) {
        std::remove(plainPath.c_str());
        plainWrite = std::min(plainWrite, bestSeconds(1, [&] {
                                  FILE* f = std::fopen(plainPath.c_str(), "wb");
                                  if (f == nullptr) {
                                      std::perror(plainPath.c_str());
                                      std::exit(1);
                                  }
                                  for (std::size_t left = bytes; left > 0;) {
                                      const std::size_t n = std::min(left, block.size());
                                      std::fwrite(block.data(), 1, n, f);
                                      left -= n;
                                  }
                                  std::fclose(f);
                              }));
        std::remove((stem + ".wav").c_str());
        wavRun = std::min(wavRun, bestSeconds(1, [&] { runQuiet({binary, "-w", stem + ".qvl"}); }));
    }
    std::printf(
        "  quarvelcd -w                 %8.3f s, %.2fx the time of a plain write of %.0f MB (%.3f "
        "s)\n",
        wavRun, wavRun / plainWrite, static_cast<double>(bytes) / 1e6, plainWrite);
    std::remove((stem + ".qvl").c_str());
    std::remove((stem + ".wav").c_str());
    std::remove(plainPath.c_str());

    // The MusicXML of the score against the compile it needs (with the notes
    // kept, as the export compiles).
    {
        const SourceText source(text);
        CompiledScore kept;
        const double compileSeconds = bestSeconds(3, [&] {
            kept = compileScore(source, Dialect::combined, CompileOptions{.keepNotes = true});
        });
        const Tables keptTables = buildTables(kept.instruments);
        std::string xml;
        const double xmlSeconds =
            bestSeconds(3, [&] { xml = scoreMusicXml(kept, keptTables, ""); });
        std::printf("notation:\n");
        std::printf("  MusicXML of the score        %8.3f s, %.1f MB, %.2fx the compile (%.3f s)\n",
                    xmlSeconds, static_cast<double>(xml.size()) / 1e6, xmlSeconds / compileSeconds,
                    compileSeconds);
    }

    // The language server: a change to the score until its diagnostics
    // arrive, against a bare compile of the same text (as the program
    // compiles, looking for the default warnings).
    {
        const SourceText source(text);
        const double compileSeconds = bestSeconds(3, [&] {
            compileScore(source, Dialect::combined, CompileOptions{.warnings = defaultWarnings()});
        });
        const double immediate = changeToDiagnostics(binary, text, 0);
        const double debounced = changeToDiagnostics(binary, text, 150);
        std::printf("language server (--lsp):\n");
        std::printf("  change to diagnostics        %8.3f s, %.2fx a bare compile (%.3f s)\n",
                    immediate, immediate / compileSeconds, compileSeconds);
        std::printf("  the same, 150 ms debounce    %8.3f s, %.2fx a bare compile\n", debounced,
                    debounced / compileSeconds);
    }

    // Compile speed on a long text without parts, at two lengths.
    std::string body;
    {
        std::istringstream lines(text);
        for (std::string l; std::getline(lines, l);) {
            if (!l.empty() && (l[0] == 'P' || l[0] == 'R')) continue;
            body += l + "\n";
        }
    }
    std::printf("compiler (looking for the default warnings):\n");
    double perByte[2] = {0, 0};
    const std::size_t targets[2] = {16u << 20, 64u << 20};
    for (int i = 0; i < 2; ++i) {
        std::string big;
        while (big.size() < targets[i]) big += body;
        const SourceText source(big);
        // As the program compiles: the warnings it prints by default are looked for.
        const double seconds = bestSeconds(2, [&] {
            compileScore(source, Dialect::combined, CompileOptions{.warnings = defaultWarnings()});
        });
        perByte[i] = seconds / static_cast<double>(big.size());
        const double megabytes = static_cast<double>(big.size()) / 1e6;
        std::printf("  %5.1f MB of score text        %8.3f s  %7.1f MB/s\n", megabytes, seconds,
                    megabytes / seconds);
    }
    std::printf("  time per byte, long text against the short one: %.2f (1.00 is linear)\n",
                perByte[1] / perByte[0]);
    {
        // What looking for the warnings costs: every one, the default ones, none.
        std::string sample;
        while (sample.size() < targets[0]) sample += body;
        const SourceText source(sample);
        const auto timed = [&](WarningSet set) {
            return bestSeconds(2, [&] {
                compileScore(source, Dialect::combined, CompileOptions{.warnings = set});
            });
        };
        const double none = timed(WarningSet{});
        const double byDefault = timed(defaultWarnings());
        const double all = timed(WarningSet().set());
        std::printf("  warnings looked for: default %.2fx, all %.2fx the time of none\n",
                    byDefault / none, all / none);
    }
    return 0;
}
