#include "driver/exits.h"

#include "driver/diagnostics.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "compiler/utf8.h"
#include "driver/status_line.h"
#include "output/staged_file.h"

namespace quarvel {

namespace {

// The exit line's path for a failure no part of the run caught.
std::string strayExitPath;
bool strayExitPathKnown = false;
std::FILE* strayExitStream = stdout;

// The shown form of the character at text[i] goes to out (at most 4 bytes);
// answers how many bytes of the text it took.
std::size_t showOne(std::string_view text, std::size_t i, char* out, std::size_t& n) {
    static const char kHex[] = "0123456789abcdef";
    const auto c = static_cast<unsigned char>(text[i]);
    const auto hex = [&](unsigned char b) {
        out[n++] = '\\';
        out[n++] = 'x';
        out[n++] = kHex[b >> 4];
        out[n++] = kHex[b & 15];
    };
    if (c == '\t' || (c >= 0x20 && c < 0x7F)) {
        out[n++] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x20 || c == 0x7F) {
        out[n++] = '^';
        out[n++] = c == 0x7F ? '?' : static_cast<char>(c + 0x40);
        return 1;
    }
    // A whole, shortest UTF-8 sequence passes, unless it encodes a C1 control.
    if (const Utf8Char one = decodeUtf8(text, i); one.length > 1) {
        if (one.code < 0xA0) {
            hex(static_cast<unsigned char>(text[i + 1]));
        } else {
            for (std::size_t k = 0; k < one.length; ++k) out[n++] = text[i + k];
        }
        return one.length;
    }
    if (c < 0xA0) {
        hex(c);
    } else {
        out[n++] = static_cast<char>(c);
    }
    return 1;
}

}  // namespace

std::string inert(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    char piece[8];
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = 0;
        i += showOne(text, i, piece, n);
        shown.append(piece, n);
    }
    return shown;
}

void writeInert(std::FILE* out, std::string_view text) {
    char buffer[1024];
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (used + 8 > sizeof buffer) {
            std::fwrite(buffer, 1, used, out);
            used = 0;
        }
        i += showOne(text, i, buffer, used);
    }
    std::fwrite(buffer, 1, used, out);
}

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

void exitOnStrayException(const std::exception* error, bool outOfMemory) {
    const int status = outOfMemory ? 2 : 4;
    std::fflush(stdout);
    std::fputs("quarvelcd: ", stderr);
    if (outOfMemory) {
        std::fputs("out of memory", stderr);
    } else {
        std::fputs("unexpected failure: ", stderr);
        writeInert(stderr, error != nullptr ? error->what() : "unknown");
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

void diagnose(const std::string& message) {
    eraseStatusLine();
    std::fflush(stdout);
    std::fputs("quarvelcd: ", stderr);
    writeInert(stderr, message);
    std::fputc('\n', stderr);
}

std::string errorContext(const CompileError& error, const SourceText& text) {
    // At most this many bytes of the line on either side of the caret.
    constexpr std::size_t kReach = 100;
    const auto& bytes = text.bytes();
    const std::size_t end = text.end();
    const std::size_t lineStart = std::min(error.lineStart, end);
    const std::int64_t column = error.column < 1 ? 1 : error.column;
    const auto caretOffset = static_cast<std::uint64_t>(column - 1);
    const std::size_t from = caretOffset > kReach
                                 ? lineStart + static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   caretOffset - kReach, end - lineStart))
                                 : lineStart;
    std::string line = from > lineStart ? "..." : "";
    const std::size_t lead = line.size();
    std::size_t i = from;
    for (; i < end && i - from < 2 * kReach; ++i) {
        const std::uint8_t c = bytes[i];
        if (c == '\r' || c == '\n') break;
        line.push_back((c == '\t' || (c >= 0x20 && c < 0x7F)) ? static_cast<char>(c) : '?');
    }
    if (i < end && bytes[i] != '\r' && bytes[i] != '\n') line += "...";
    // The caret goes under the last character read; tabs are copied so that
    // it lines up with the text above.
    const std::uint64_t caretAt =
        std::min<std::uint64_t>(lead + (lineStart + caretOffset - from), line.size());
    std::string caret;
    for (std::uint64_t k = 0; k < caretAt; ++k) {
        caret.push_back(k >= lead && line[k] == '\t' ? '\t' : ' ');
    }
    return "  " + line + "\n  " + caret + "^\n";
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
        diagnose("no editor to open " + options.sourcePath +
                 ": set QUARVEL_EDIT, VISUAL or EDITOR (the first one set is used) to an "
                 "editor command, e.g. QUARVEL_EDIT=nano");
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
    // A name past the path limit cannot be opened whole: the name as typed
    // names the same file from the same directory.
    words->push_back(options.sourcePath.size() < PATH_MAX ? options.sourcePath : options.scoreName);
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
