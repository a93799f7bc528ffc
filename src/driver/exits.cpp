#include "driver/exits.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

#include "driver/diagnostics.h"
#include "driver/editor.h"
#include "driver/messages.h"
#include "driver/status_line.h"
#include "output/staged_file.h"

namespace quarvel {

namespace {

// The exit line's path for a failure no part of the run caught.
std::string strayExitPath;
bool strayExitPathKnown = false;
std::FILE* strayExitStream = stdout;

}  // namespace

void exitWith(const RunOptions& options, int status) {
    eraseStatusLine();
    // --check keeps standard output for its diagnostics.
    if (!options.check) {
        std::fprintf(resultStream(options), "exit %d %s\n", status, options.sourcePath.c_str());
    }
    Terminal::restore();
    removeUnfinishedFiles();
    std::exit(status);
}

void rememberExitPath(const RunOptions& options) {
    strayExitPath = options.sourcePath;
    strayExitPathKnown = true;
    strayExitStream = resultStream(options);
}

std::FILE* resultStream(const RunOptions& options) {
    const bool soundOnStdout =
        options.exportPath == "-" && !options.writeWav && !options.computeCrc;
    return soundOnStdout ? stderr : stdout;
}

void exitOnStrayException(std::exception_ptr error) {
    bool outOfMemory = false;
    const char* what = "unknown";
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
    } catch (const std::length_error&) {  // a size past what memory can hold
        outOfMemory = true;
    } catch (const std::exception& stray) {
        what = stray.what();  // lives as long as `error`
    } catch (...) {
    }
    const int status = outOfMemory ? ExitStatus::noMemory : ExitStatus::outputFailure;
    std::fflush(stdout);
    std::fputs("quarvelcd: ", stderr);
    if (outOfMemory) {
        std::fputs("out of memory", stderr);
    } else {
        std::fputs("unexpected failure: ", stderr);
        writeInert(stderr, what);
    }
    std::fputc('\n', stderr);
    if (strayExitPathKnown) {
        std::fprintf(strayExitStream, "exit %d %s\n", status, strayExitPath.c_str());
    }
    std::fflush(stdout);
    Terminal::restore();
    removeUnfinishedFiles();
    std::_Exit(status);
}

namespace {

// Texts for the signal handler, made before the signal can come.
std::string hangExitLine;
const char kHangDiagnostic[] = "quarvelcd: the sound device stopped responding\n";

void onDeviceHang(int) {
    Terminal::restore();
    eraseStatusLine();
    removeUnfinishedFiles();
    (void)!::write(STDERR_FILENO, kHangDiagnostic, sizeof kHangDiagnostic - 1);
    (void)!::write(STDOUT_FILENO, hangExitLine.data(), hangExitLine.size());
    ::_exit(ExitStatus::outputFailure);
}

}  // namespace

void armDeviceHangExit(const RunOptions& options) {
    hangExitLine =
        "exit " + std::to_string(ExitStatus::outputFailure) + " " + options.sourcePath + "\n";
    struct sigaction action {};
    action.sa_handler = onDeviceHang;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
}

void reportCompileError(const RunOptions& options, const CompileError& error,
                        const SourceText& text, Terminal& terminal) {
    // People see the place of the fault; the play-mode line below keeps the
    // reader's counters.
    printCompileError(options, error, text);
    if (options.playFlag) {
        // The line and column as the 32-bit counters of this line's format show them.
        std::printf("error:%d near line:%d col:%d\n", error.number, static_cast<int>(error.line),
                    static_cast<int>(error.column));
        std::printf("press <space> to edit; any other to quit\n");
        std::fflush(stdout);
        const auto key = terminal.waitKey();
        if (key && *key == ' ') editorHandOff(options, error.line);
    }
    exitWith(options, ExitStatus::compileError);
}

}  // namespace quarvel
