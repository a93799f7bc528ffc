#include "lsp/naming.h"

#include <array>
#include <cmath>

#include "synth/sample_format.h"
#include "synth/score_walk.h"
#include "synth/tables.h"

namespace quarvel::lsp {

std::string keyName(int count, char sign) {
    static constexpr std::array<const char*, 8> sharpMajor{"C", "G", "D",       "A",
                                                           "E", "B", "F\u266f", "C\u266f"};
    static constexpr std::array<const char*, 8> sharpMinor{
        "A", "E", "B", "F\u266f", "C\u266f", "G\u266f", "D\u266f", "A\u266f"};
    static constexpr std::array<const char*, 8> flatMajor{
        "C", "F", "B\u266d", "E\u266d", "A\u266d", "D\u266d", "G\u266d", "C\u266d"};
    static constexpr std::array<const char*, 8> flatMinor{"A", "D",       "G",       "C",
                                                          "F", "B\u266d", "E\u266d", "A\u266d"};
    if (count < 0 || count > 7) return "";
    const bool flats = sign == '&';
    return std::string((flats ? flatMajor : sharpMajor)[count]) + " major / " +
           (flats ? flatMinor : sharpMinor)[count] + " minor";
}

std::string instrumentSound(int letter, const Instrument& instrument) {
    static constexpr std::array<const char*, kVoices> sounds{
        "bright and full: strong first six harmonics",
        "hollow, reedy: the 3rd and 5th harmonics above the fundamental",
        "odd harmonics only (1, 3, 5): clarinet-like, the 5th strongest",
        "soft and round: mostly the fundamental (every voice's default)",
        "the 2nd harmonic above all: thin, an octave-like brightness"};
    static const char hex[] = "0123456789ABCDEF";
    std::string digits;
    for (const auto d : instrument.digits) digits += hex[d & 15];
    if (letter >= 0 && letter < kVoices && instrument == kDefaultInstruments[letter]) {
        return std::string(sounds[letter]) + " (harmonics " + digits + ", volume " +
               std::to_string(instrument.volume) + ")";
    }
    if (instrument.kind == 1) {
        return "harmonic instrument, harmonics 1 to 8 at " + digits + ", volume " +
               std::to_string(instrument.volume);
    }
    return "pattern instrument (a buzzing, pulse-like wave), seed and shape " + digits +
           ", volume " + std::to_string(instrument.volume);
}

std::string slotMapDescription(int row) {
    if (row < 0 || row >= static_cast<int>(kSlotMaps.size())) return "";
    std::string left, right;
    int leftCount = 0, rightCount = 0;
    for (int v = 0; v < kVoices; ++v) {
        const bool isLeft = kSlotMaps[row][v] < 2;
        std::string& side = isLeft ? left : right;
        int& count = isLeft ? leftCount : rightCount;
        side += std::string(count == 0 ? "" : ", ") + std::to_string(v + 1);
        ++count;
    }
    const auto andLast = [](std::string list) {
        const auto comma = list.rfind(", ");
        if (comma != std::string::npos) list.replace(comma, 2, " and ");
        return list;
    };
    return "voices " + andLast(left) + " on the left, " + andLast(right) + " on the right";
}

long beatsPerMinute(int value) {
    static const Tables tables = buildTables(kDefaultInstruments);
    const int index = value / 2;
    if (index < 1 || index >= kTempoIndexes) return 0;
    // A beat of the beat note lasts 96 slices.
    const double frames = sliceFramesOf(tables, index) * 96.0;
    return std::lround(60.0 * kFrameRate / frames);
}

}  // namespace quarvel::lsp
