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
};

// Parses `quarvelcd [-o][-p][-gxx][-w][-c] quarvelfile`. Switches are taken
// only while at least two arguments remain; nullopt means the usage text.
std::optional<RunOptions> parseRunOptions(const std::vector<std::string>& args);

// The score name cut at the last "." of its last path component.
std::string stemOf(const std::string& name);

// An absolute name for the file that `name` (as the system resolves it from
// the current directory) opens: the real path of its directory part followed
// by its last component. When the directory part cannot be resolved, the
// current directory joined with the name unchanged: no ".." is taken away as
// text, since that could name another file.
std::string absoluteNameOf(const std::string& name);

extern const char* const kUsageText;

// The playing time of a WAVE file as the result line shows it: minutes, then
// seconds with two decimals and no leading zero ("3:5.25", "2:0.00").
std::string formatPlayingTime(double frames);

}  // namespace quarvel
