#include "driver/run_options.h"

#include "synth/sample_format.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace quarvel {

const char* const kUsageText =
    "  usage: quarvelcd [-o][-p][-gxx][-w][-c] quarvelfile\n"
    "  compiles and plays 'quarvelfile' using combined parsing\n"
    "  -o use Quarvel parsing\n"
    "  -p use Lutera parsing\n"
    "  -gxx begin playing at Part xx\n"
    "  -w write .wav file\n"
    "  -c compute CRC32\n";

const char* const kLongOptionsText =
    "  --help              print this text and end\n"
    "  --version           print the program's and the library's versions\n"
    "  --from BAR|LINE:COL begin at a bar (numbered from 1), or at the bar that\n"
    "                      holds a place in the text\n"
    "  --to BAR            end after a bar\n"
    "  --loop              play the range again and again until ESC or space\n"
    "  --watch             play, and play again from the same bar whenever the\n"
    "                      score is saved (ESC or q quits)\n"
    "  --check             compile only and print the diagnostics\n"
    "  --json              diagnostics as JSON lines on standard output\n"
    "  --warn=NAMES        turn warnings on (comma-separated names, or all)\n"
    "  --no-warn=NAMES     turn warnings off\n"
    "  --midi[=FILE]       write a MIDI file (name.mid unless FILE is given)\n"
    "  --export FILE       export the score (\"-\": standard output)\n"
    "  --import MIDI       read a MIDI file into a new score, the one named\n"
    "                      (\"-\": standard output)\n"
    "  --force             let --import replace a score that exists\n"
    "  --lsp               serve editors: the language server protocol on standard\n"
    "                      input and output\n"
    "  long options may stand anywhere before a \"--\"\n";

void resolveScoreCase(RunOptions& options) {
    namespace fs = std::filesystem;
    std::error_code error;
    // The name as typed is what is opened; the absolute one follows it.
    const fs::path typed(options.scoreName);
    if (fs::symlink_status(typed, error).type() != fs::file_type::not_found) return;
    const std::string stem = typed.stem().string();
    const fs::path folder = typed.parent_path();
    std::vector<std::string> found;
    for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, error), end;
         !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() != stem.size() + 4 || name.compare(0, stem.size(), stem) != 0) continue;
        std::string extension = name.substr(stem.size());
        for (auto& c : extension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension == ".qvl") found.push_back(name);
    }
    if (found.empty()) return;
    std::sort(found.begin(), found.end());  // the same choice every time
    options.scoreName = (folder / found.front()).string();
    options.sourcePath = (fs::path(options.sourcePath).parent_path() / found.front()).string();
}

std::string formatPlayingTime(double frames) {
    const double seconds = frames / kFrameRate;
    const double minutes = std::floor(seconds / 60.0);
    const double rest = seconds - minutes * 60.0;
    char restText[32];
    std::snprintf(restText, sizeof restText, "%02.2f", rest);
    char text[64];
    if (std::string_view(restText) == "60.00") {
        // The last 5 ms before a minute round up to it: "1:0.00", not "0:60.00".
        std::snprintf(text, sizeof text, "%1.0f:0.00", minutes + 1.0);
    } else {
        std::snprintf(text, sizeof text, "%1.0f:%s", minutes, restText);
    }
    return text;
}

std::string stemOf(const std::string& name) {
    const std::size_t lastSlash = name.find_last_of('/');
    const std::size_t componentStart = lastSlash == std::string::npos ? 0 : lastSlash + 1;
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot < componentStart) return name;
    return name.substr(0, dot);
}

namespace {

// Takes the long options ("--name", "--name=value", "--name value") out of the
// arguments, wherever they stand before a "--"; what is left is read as the
// switches and the score name always were. False, with the reason, for an
// option that does not exist or lacks its value.
bool takeLongOptions(std::vector<std::string>& args, RunOptions& options, std::string& problem) {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            rest.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name =
            arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        std::optional<std::string> value;
        if (equals != std::string::npos) value = arg.substr(equals + 1);
        const auto flag = [&](bool& field) {
            if (value) {
                problem = "option '--" + name + "' takes no value";
                return false;
            }
            field = true;
            return true;
        };
        // An option that needs a value takes the next argument when no "=" gave one.
        const auto needed = [&](std::string& field) {
            if (!value) {
                if (i + 1 >= args.size()) {
                    problem = "option '--" + name + "' needs a value";
                    return false;
                }
                value = args[++i];
            }
            field = *value;
            return true;
        };
        bool ok = true;
        if (name == "help") {
            ok = flag(options.help);
        } else if (name == "version") {
            ok = flag(options.version);
        } else if (name == "check") {
            ok = flag(options.check);
        } else if (name == "lsp") {
            ok = flag(options.lsp);
        } else if (name == "json") {
            ok = flag(options.json);
        } else if (name == "warn" || name == "no-warn") {
            std::string names;
            ok = needed(names);
            if (ok) options.warningSwitches.push_back({names, name == "warn"});
        } else if (name == "from") {
            ok = needed(options.from.emplace());
        } else if (name == "to") {
            ok = needed(options.to.emplace());
        } else if (name == "loop") {
            ok = flag(options.loop);
        } else if (name == "watch") {
            ok = flag(options.watch);
        } else if (name == "midi") {
            options.midiPath = value.value_or("");
        } else if (name == "export") {
            ok = needed(options.exportPath.emplace());
        } else if (name == "import") {
            ok = needed(options.importPath.emplace());
        } else if (name == "force") {
            ok = flag(options.force);
        } else {
            problem = "unknown option '" + arg.substr(0, equals) + "'";
            ok = false;
        }
        if (!ok) return false;
    }
    args = std::move(rest);
    return true;
}

}  // namespace

std::optional<RunOptions> parseRunOptions(std::vector<std::string> args, std::string* problem) {
    RunOptions options;
    std::string reason;
    const auto usage = [&](std::string why) -> std::optional<RunOptions> {
        if (problem != nullptr) *problem = std::move(why);
        return std::nullopt;
    };
    if (!takeLongOptions(args, options, reason)) return usage(reason);
    // --help and --version need no score.
    if ((options.help || options.version) && args.empty()) return options;
    if (options.lsp) {
        if (!args.empty())
            return usage("--lsp serves on standard input and output: it takes no score");
        return options;
    }
    std::size_t next = 0;
    while (args.size() - next >= 2 && !args[next].empty() && args[next][0] == '-') {
        std::string sw = args[next];
        for (auto& c : sw) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        switch (sw.size() > 1 ? sw[1] : '\0') {
            case 'p':
                options.dialect = Dialect::lutera;
                break;
            case 'o':
                options.dialect = Dialect::quarvel;
                break;
            case 'w':
                options.writeWav = true;
                options.playFlag = false;
                break;
            case 'c':
                options.computeCrc = true;
                options.playFlag = false;
                break;
            case 'g': {
                // At most two hexadecimal digits; without any the value stays.
                unsigned int part = 0;
                if (std::sscanf(sw.c_str() + 2, "%2x", &part) == 1) {
                    options.startPart = static_cast<int>(part);
                }
                break;
            }
            default:
                return usage("unknown switch '" + args[next] + "'");
        }
        ++next;
    }
    if (args.size() - next != 1) {
        if (args.size() - next == 0) return usage("no score named");
        for (std::size_t i = next + 1; i < args.size(); ++i) {
            if (!args[i].empty() && args[i][0] == '-') {
                return usage("switches go before the score name ('" + args[i] + "' follows '" +
                             args[next] + "')");
            }
        }
        return usage("one score at a time ('" + args[next] + "' and '" + args[next + 1] + "')");
    }

    // Writing a MIDI file or an export is a run of its own, not a playing one.
    if (options.midiPath || options.exportPath) options.playFlag = false;

    const std::string stem = stemOf(args[next]);
    options.wavPath = stem + ".wav";
    options.scoreName = stem + ".qvl";
    options.typedName = args[next];
    options.sourcePath = absoluteNameOf(options.scoreName);
    if (options.importPath) {
        options.playFlag = false;
        if (args[next] == "-") options.scoreName = "-";  // the score on standard output
    }
    return options;
}

std::string absoluteNameOf(const std::string& name) {
    const std::size_t lastSlash = name.find_last_of('/');
    const std::string base = lastSlash == std::string::npos ? name : name.substr(lastSlash + 1);
    const std::string directory = lastSlash == std::string::npos ? std::string(".")
                                  : lastSlash == 0               ? std::string("/")
                                                                 : name.substr(0, lastSlash);
    if (char* real = ::realpath(directory.c_str(), nullptr)) {
        std::string full = real;
        std::free(real);
        if (full.empty() || full.back() != '/') full.push_back('/');
        return full + base;
    }
    if (!name.empty() && name.front() == '/') return name;
    if (char* cwd = ::getcwd(nullptr, 0)) {
        std::string full = cwd;
        std::free(cwd);
        if (full.empty() || full.back() != '/') full.push_back('/');
        return full + name;
    }
    return name;  // no absolute name to be had: the name as typed still opens the file
}

}  // namespace quarvel
