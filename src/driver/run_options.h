// The command line: switches, the score name, and the two paths derived from it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "compiler/score_compiler.h"

namespace quarvel {

struct RunOptions {
    bool playFlag = true;     // play on the sound device and talk to the user
    bool writeWav = false;    // -w
    bool computeCrc = false;  // -c
    int startPart = 0;        // -gxx: part number where playing starts
    Dialect dialect = Dialect::combined;
    std::string wavPath;     // the name as typed, extension replaced by ".wav"
    std::string sourcePath;  // absolute name of the score for people and the editor
    std::string scoreName;   // the name as typed with the extension ".qvl": opened as such
    std::string typedName;   // the name as typed

    // Long options, "--name", "--name=value" or "--name value".
    bool help = false;     // --help: the usage with every option, status 0
    bool version = false;  // --version
    bool check = false;    // --check: compile only and print the diagnostics
    bool json = false;     // --json: diagnostics as JSON lines on standard output
    struct WarningSwitch {
        std::string names;  // comma-separated warning names, or "all"
        bool on;            // --warn=NAMES (true) or --no-warn=NAMES
    };
    std::vector<WarningSwitch> warningSwitches;  // in the order given
    std::optional<std::string> from;             // --from BAR or LINE:COL
    std::optional<std::string> to;               // --to BAR
    bool loop = false;                           // --loop
    bool watch = false;                          // --watch
    std::optional<std::string> midiPath;         // --midi[=FILE]; "" for name.mid
    std::optional<std::string> exportPath;       // --export FILE ("-": standard output)
    std::optional<std::string> importPath;       // --import MIDI: read it into the score named
    bool force = false;                          // --force: --import may replace a score
    bool lsp = false;                            // --lsp: the language server (src/lsp/)
};

// Parses `quarvelcd [-o][-p][-gxx][-w][-c] [--option...] quarvelfile`. Long
// options may stand anywhere (before a "--"); the short switches are taken
// only while at least two other arguments remain. nullopt means the usage
// text; *problem then says why ("" when there is nothing more to say).
std::optional<RunOptions> parseRunOptions(std::vector<std::string> args,
                                          std::string* problem = nullptr);

// The score name cut at the last "." of its last path component.
std::string stemOf(const std::string& name);

// An absolute name for the file that `name` (as the system resolves it from
// the current directory) opens: the real path of its directory part followed
// by its last component. When the directory part cannot be resolved, the
// current directory joined with the name unchanged: no ".." is taken away as
// text, since that could name another file.
std::string absoluteNameOf(const std::string& name);

extern const char* const kUsageText;
// The long options, printed after the usage lines by --help.
extern const char* const kLongOptionsText;

// When the score file does not exist but one of the same name with the
// extension written in other letter cases does ("TUNE.QVL"), reads that one.
void resolveScoreCase(RunOptions& options);

// The playing time of a WAVE file as the result line shows it: minutes, then
// seconds with two decimals and no leading zero ("3:5.25", "2:0.00").
std::string formatPlayingTime(double frames);

}  // namespace quarvel
