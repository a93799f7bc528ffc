// quarvelcd [-o][-p][-gxx][-w][-c] quarvelfile
//
// Compiles one score, builds the synthesis tables, renders the score into the
// sample sink (sound device, WAVE file or nowhere) and prints the result line
// of the mode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "driver/exits.h"
#include "driver/export_run.h"
#include "driver/run_options.h"
#include "driver/terminal.h"
#include "output/audio_device.h"
#include "output/output_error.h"
#include "output/render_loop.h"
#include "output/sample_sink.h"
#include "synth/tables.h"

namespace quarvel {
namespace {

// Reads the whole score file, bytes exactly as stored, and puts the end
// marks behind them.
SourceText loadScore(const RunOptions& options) {
    const std::string& path = options.sourcePath;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const auto unreadable = [&](int error) {
        diagnose("cannot read " + path + ": " + std::strerror(error));
        exitWith(options, 1);
    };
    if (fd < 0) unreadable(errno);
    struct stat info {};
    if (fstat(fd, &info) != 0) unreadable(errno);
    if (S_ISDIR(info.st_mode)) unreadable(EISDIR);
    if (!S_ISREG(info.st_mode)) {
        diagnose("cannot read " + path + ": not a regular file");
        exitWith(options, 1);
    }
    std::vector<std::uint8_t> bytes;
    try {
        // Room for the file as it is now and the end marks; a file that grows
        // while it is read is read whole all the same.
        std::size_t expected = static_cast<std::size_t>(info.st_size);
        bytes.resize(expected + 8);
        std::size_t length = 0;
        for (;;) {
            if (length == bytes.size()) bytes.resize(bytes.size() * 2);
            const ssize_t n = ::read(fd, bytes.data() + length, bytes.size() - length);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                unreadable(errno);
            }
            length += static_cast<std::size_t>(n);
        }
        ::close(fd);
        bytes.resize(length);
        return SourceText(std::move(bytes));
    } catch (const std::bad_alloc&) {
        diagnose("no memory for the score text of " + path);
        exitWith(options, 2);
    }
}

// The first eight lines of the score, line ends written as LF.
void echoScoreHead(const SourceText& text) {
    const auto& bytes = text.bytes();
    int lineEnds = 0;
    std::string out;
    for (std::size_t i = 0; lineEnds < 8 && i < text.end(); ++i) {
        const std::uint8_t c = bytes[i];
        if (c == '\r' || c == '\n') {
            ++lineEnds;
            out.push_back('\n');
            if (c == '\r' && i + 1 < text.end() && bytes[i + 1] == '\n') ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('\n');
    std::fwrite(out.data(), 1, out.size(), stdout);
}

// The result line must reach its reader; a run that cannot deliver it failed.
void finishOutput() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        diagnose(std::string("cannot write the result: ") + std::strerror(errno));
        Terminal::restore();
        std::_Exit(4);
    }
}

int run(const std::vector<std::string>& args) {
    std::string problem;
    const auto parsed = parseRunOptions(args, &problem);
    if (!parsed) {
        if (!problem.empty()) diagnose(problem);
        std::fputs(kUsageText, stdout);
        return 1;
    }
    RunOptions options = *parsed;
    Terminal terminal;

    if (shiftHeld()) editorHandOff(options);
    if (options.playFlag) std::printf("QuarvelCD v2.3\n");

    const SourceText text = loadScore(options);
    if (options.playFlag) {
        echoScoreHead(text);
    } else {
        options.startPart = 0;
    }

    CompiledScore score;
    try {
        score = compileScore(text, options.dialect);
    } catch (const CompileError& error) {
        reportCompileError(options, error, text, terminal);
    } catch (const std::bad_alloc&) {
        diagnose("no memory to compile " + options.sourcePath);
        exitWith(options, 2);
    }
    const Tables tables = buildTables(score.instruments);
    if (writeExports(options, score, tables)) {  // --midi, --export
        finishOutput();
        return 0;
    }

    RenderResult result;
    bool editorWanted = false;
    if (options.playFlag) {
        std::fflush(stdout);  // the banner and the echo are out before the sound
        armDeviceHangExit(options);
    }
    try {
        SampleSink sink({options.playFlag, options.writeWav, options.computeCrc, options.wavPath},
                        &terminal, openAlsaDevice);
        // The CRC is computed only when it is printed.
        result = renderScore(score, tables, options.startPart, sink, selectMixKernel(),
                             options.computeCrc);
        editorWanted = sink.stoppedBySpace();
    } catch (const OutputError& error) {
        diagnose(error.what());
        exitWith(options, error.status);
    } catch (const std::bad_alloc&) {
        diagnose("no memory for the sample buffers");
        exitWith(options, 2);
    }
    if (editorWanted) editorHandOff(options);

    if (options.computeCrc) {
        std::printf("%08X %s\n", result.streamCrc, options.sourcePath.c_str());
    } else if (options.writeWav) {
        std::printf("%s %s\n", options.wavPath.c_str(),
                    formatPlayingTime(result.samplesRendered).c_str());
    }
    finishOutput();
    return 0;
}

}  // namespace
}  // namespace quarvel

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return quarvel::run(args);
}
