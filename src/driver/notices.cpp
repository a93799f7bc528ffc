#include "driver/notices.h"

#include <sys/stat.h>

#include <cstdio>

#include "compiler/warnings.h"
#include "driver/diagnostics.h"
#include "driver/messages.h"

namespace quarvel {

void noteFileRead(const RunOptions& options) {
    const std::string& typed = options.typedName;
    if (typed.empty() || typed == options.scoreName) return;
    struct stat given {};
    if (::stat(typed.c_str(), &given) != 0 || !S_ISREG(given.st_mode)) return;
    struct stat read {};
    if (::stat(options.scoreName.c_str(), &read) == 0 && read.st_dev == given.st_dev &&
        read.st_ino == given.st_ino) {
        return;  // another name of the same file
    }
    diagnose("reading " + options.scoreName + ", not " + typed +
             ": the score is always read from the name with its extension replaced by .qvl; "
             "copy or rename " +
             typed + " to a .qvl name to use it");
}

void reportUnreadable(const RunOptions& options, const std::string& reason) {
    if (options.check && options.json) {
        const std::string line = "{\"file\":" + jsonString(options.sourcePath) +
                                 ",\"line\":null,\"column\":null,\"severity\":\"error\","
                                 "\"code\":\"unreadable\",\"message\":" +
                                 jsonString("cannot read " + options.sourcePath + ": " + reason) +
                                 "}\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        return;
    }
    diagnose("cannot read " + options.sourcePath + ": " + reason);
}

std::string barsHeld(const Timeline& timeline, std::size_t barCount, std::uint64_t start,
                     std::uint64_t end) {
    const auto first = timeline.at(start);
    const auto last = end > start ? timeline.at(end - 1) : first;
    const auto name = [](const std::optional<Position>& p) {
        return p && p->bar ? std::to_string(*p->bar + 1) : std::string("?");
    };
    const std::string a = name(first);
    const std::string b = name(last);
    return (a == b ? "bar " + a : "bars " + a + " to " + b) + " of " + std::to_string(barCount);
}

void noteRangeWritten(const std::string& file, const std::string& bars) {
    diagnose(file + " holds " + bars + " only (--from/--to), not the whole score");
}

std::string warningHelpText() {
    std::string text = "warnings for --warn and --no-warn (* on by default):\n";
    for (const auto& info : warningCatalogue()) {
        std::string name = "  " + std::string(info.name) + (info.onByDefault ? "*" : "");
        name.resize(std::max<std::size_t>(name.size() + 1, 22), ' ');
        text += name + std::string(info.summary) + "\n";
    }
    return text;
}

}  // namespace quarvel
