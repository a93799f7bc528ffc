#include "driver/exits.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "driver/status_line.h"

namespace quarvel {

void exitWith(const RunOptions& options, int status) {
    eraseStatusLine();
    std::printf("exit %d %s\n", status, options.sourcePath.c_str());
    Terminal::restore();
    std::exit(status);
}

namespace {

// Texts for the signal handler, made before the signal can come.
std::string hangExitLine;
const char kHangDiagnostic[] = "quarvelcd: the sound device stopped responding\n";

void onDeviceHang(int) {
    Terminal::restore();
    eraseStatusLine();
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
    eraseStatusLine();
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
    diagnose(options.sourcePath + ":" + std::to_string(error.line) + ":" +
             std::to_string(error.column) + ": error " + std::to_string(error.number) + ": " +
             error.what);
    std::fputs(errorContext(error, text).c_str(), stderr);
    if (options.playFlag) {
        std::printf("error:%d near line:%d col:%d\n", error.number, error.line,
                    static_cast<int>(error.column));
        std::printf("press <space> to edit; any other to quit\n");
        std::fflush(stdout);
        const auto key = terminal.waitKey();
        if (key && *key == ' ') editorHandOff(options, error.line);
    }
    exitWith(options, 3);
}

std::optional<std::vector<std::string>> splitCommandLine(const std::string& text,
                                                         std::string* problem) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const std::size_t close = text.find('\'', i + 1);
            if (close == std::string::npos) {
                if (problem != nullptr) *problem = "a single quote is not closed";
                return std::nullopt;
            }
            word.append(text, i + 1, close - i - 1);
            i = close;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) {
                    if (problem != nullptr) *problem = "a double quote is not closed";
                    return std::nullopt;
                }
                if (text[i] == '"') break;
                if (text[i] == '\\' && i + 1 < text.size() &&
                    std::string_view("\"\\$`").find(text[i + 1]) != std::string_view::npos) {
                    ++i;
                }
                word.push_back(text[i]);
            }
        } else if (c == '\\') {
            if (i + 1 < text.size()) word.push_back(text[++i]);
        } else {
            word.push_back(c);
        }
    }
    if (inWord) words.push_back(std::move(word));
    if (words.empty()) {
        if (problem != nullptr) *problem = "no program named";
        return std::nullopt;
    }
    return words;
}

bool takesLineArgument(const std::string& program) {
    const std::size_t slash = program.find_last_of('/');
    const std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    static const char* const kTakers[] = {
        "vi",          "vim",    "nvim", "vim.basic", "vim.tiny", "vim.nox", "gvim",  "view",
        "nvi",         "elvis",  "ex",   "nano",      "rnano",    "pico",    "emacs", "emacs-nox",
        "emacsclient", "micro",  "kak",  "joe",       "jmacs",    "jstar",   "mg",    "ne",
        "vis",         "mcedit", "le",   "jove",      "zile",     "qemacs"};
    for (const char* taker : kTakers) {
        if (name == taker) return true;
    }
    return false;
}

void editorHandOff(const RunOptions& options, std::optional<std::int64_t> line) {
    eraseStatusLine();
    const char* value = nullptr;
    for (const char* variable : {"QUARVEL_EDIT", "VISUAL", "EDITOR"}) {
        const char* found = std::getenv(variable);
        if (found != nullptr && *found != '\0') {
            value = found;
            break;
        }
    }
    if (value == nullptr) {
        std::printf("can't read environment QUARVEL_EDIT\n");
        diagnose("no editor: set QUARVEL_EDIT, VISUAL or EDITOR");
        return;
    }
    std::string problem;
    auto words = splitCommandLine(value, &problem);
    if (!words) {
        std::printf("can't exec editor: %s\n", value);
        diagnose(std::string("cannot start the editor '") + value + "': " + problem);
        return;
    }
    if (line && *line > 0 && takesLineArgument(words->front())) {
        words->push_back("+" + std::to_string(*line));
    }
    words->push_back(options.sourcePath);
    std::vector<char*> argv;
    for (auto& word : *words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    Terminal::restore();
    ::execvp(argv[0], argv.data());
    const int error = errno;
    std::printf("can't exec editor: %s\n", value);
    diagnose("cannot start the editor '" + words->front() + "': " + std::strerror(error));
}

}  // namespace quarvel
