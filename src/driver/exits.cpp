#include "driver/exits.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace quarvel {

void exitWith(const RunOptions& options, int status) {
    // --check keeps standard output for its diagnostics.
    if (!options.check) std::printf("exit %d %s\n", status, options.sourcePath.c_str());
    Terminal::restore();
    std::exit(status);
}

namespace {

// Texts for the signal handler, made before the signal can come.
std::string hangExitLine;
const char kHangDiagnostic[] = "quarvelcd: the sound device stopped responding\n";

void onDeviceHang(int) {
    Terminal::restore();
    (void)!::write(STDERR_FILENO, kHangDiagnostic, sizeof kHangDiagnostic - 1);
    (void)!::write(STDOUT_FILENO, hangExitLine.data(), hangExitLine.size());
    ::_exit(4);
}

}  // namespace

void armDeviceHangExit(const RunOptions& options) {
    hangExitLine = "exit 4 " + options.sourcePath + "\n";
    struct sigaction action {};
    action.sa_handler = onDeviceHang;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
}

void diagnose(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "quarvelcd: %s\n", message.c_str());
}

std::string errorContext(const CompileError& error, const SourceText& text) {
    const auto& bytes = text.bytes();
    std::string line;
    for (std::size_t i = error.lineStart; i < text.end(); ++i) {
        const std::uint8_t c = bytes[i];
        if (c == '\r' || c == '\n') break;
        line.push_back((c == '\t' || (c >= 0x20 && c < 0x7F)) ? static_cast<char>(c) : '?');
    }
    // The caret goes under the last character read; tabs are copied so that
    // it lines up with the text above.
    std::string caret;
    const std::int64_t column = error.column < 1 ? 1 : error.column;
    for (std::int64_t i = 0; i + 1 < column; ++i) {
        caret.push_back(i < static_cast<std::int64_t>(line.size()) && line[i] == '\t' ? '\t' : ' ');
    }
    return "  " + line + "\n  " + caret + "^\n";
}

void reportCompileError(const RunOptions& options, const CompileError& error,
                        const SourceText& text, Terminal& terminal) {
    // People see the place of the fault (the end of the text on the file's
    // last line); the play-mode line below keeps the reader's counters.
    CompileError shown = error;
    shown.line = static_cast<std::int32_t>(error.where.line);
    shown.column = error.where.column;
    shown.lineStart = error.where.column >= 1
                          ? error.where.offset - static_cast<std::size_t>(error.where.column - 1)
                          : error.where.offset;
    diagnose(options.sourcePath + ":" + std::to_string(shown.line) + ":" +
             std::to_string(shown.column) + ": error " + std::to_string(error.number) + ": " +
             error.what);
    std::fputs(errorContext(shown, text).c_str(), stderr);
    if (options.playFlag) {
        std::printf("error:%d near line:%d col:%d\n", error.number, error.line,
                    static_cast<int>(error.column));
        std::printf("press <space> to edit; any other to quit\n");
        std::fflush(stdout);
        const auto key = terminal.waitKey();
        if (key && *key == ' ') editorHandOff(options);
    }
    exitWith(options, 3);
}

void editorHandOff(const RunOptions& options) {
    const char* editor = std::getenv("QUARVEL_EDIT");
    if (editor == nullptr || *editor == '\0') {
        std::printf("can't read environment QUARVEL_EDIT\n");
        return;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    Terminal::restore();
    ::execlp(editor, editor, options.sourcePath.c_str(), static_cast<char*>(nullptr));
    std::printf("can't exec editor: %s\n", editor);
}

}  // namespace quarvel
