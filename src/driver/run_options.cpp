#include "driver/run_options.h"

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quarvel {

const char* const kUsageText =
    "  usage: quarvelcd [-o][-p][-gxx][-w][-c] quarvelfile\n"
    "  compiles and plays 'quarvelfile' using combined parsing\n"
    "  -o use Quarvel parsing\n"
    "  -p use Lutera parsing\n"
    "  -gxx begin playing at Part xx\n"
    "  -w write .wav file\n"
    "  -c compute CRC32\n";

std::string formatPlayingTime(double frames) {
    const double seconds = frames / 44100.0;
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

std::optional<RunOptions> parseRunOptions(const std::vector<std::string>& args) {
    RunOptions options;
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
                return std::nullopt;
        }
        ++next;
    }
    if (args.size() - next != 1) return std::nullopt;

    const std::string stem = stemOf(args[next]);
    options.wavPath = stem + ".wav";
    options.scoreName = stem + ".qvl";
    options.sourcePath = absoluteNameOf(options.scoreName);
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
