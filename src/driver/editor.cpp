#include "driver/editor.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "driver/messages.h"
#include "driver/status_line.h"
#include "driver/terminal.h"

namespace quarvel {

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
