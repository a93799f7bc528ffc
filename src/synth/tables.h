// Lookup tables of the synthesizer: one waveform per instrument, a phase
// increment per note number, a slice length per tempo index, and the constant
// amplitude per envelope level. They keep the per-frame work integer-only.
#pragma once

#include <array>
#include <cstdint>

#include "compiler/score_image.h"

namespace quarvel {

// Amplitude factor of each envelope level; larger levels are quieter and 254
// is silent. Levels come in equal pairs.
inline constexpr std::array<std::int32_t, 256> kDecayTable = [] {
    constexpr std::array<std::int32_t, 128> pairs{
        255, 255, 255, 245, 234, 224, 215, 206, 197, 189, 181, 173, 166, 159, 152, 146,
        139, 133, 128, 122, 117, 112, 107, 103, 99,  94,  90,  86,  83,  79,  76,  73,
        70,  67,  64,  61,  58,  56,  54,  51,  49,  47,  45,  43,  41,  39,  38,  36,
        35,  33,  32,  30,  29,  28,  27,  25,  24,  23,  22,  21,  20,  20,  19,  18,
        17,  16,  16,  15,  14,  14,  13,  13,  12,  11,  11,  10,  10,  10,  9,   9,
        8,   8,   8,   7,   7,   7,   6,   6,   6,   5,   5,   5,   5,   5,   4,   4,
        4,   4,   4,   3,   3,   3,   3,   3,   3,   2,   2,   2,   2,   2,   2,   2,
        2,   2,   2,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   0};
    std::array<std::int32_t, 256> table{};
    for (int level = 0; level < 256; ++level) table[level] = pairs[level / 2];
    return table;
}();

inline constexpr int kWaveLength = 256;
inline constexpr int kNoteNumbers = 90;
inline constexpr int kTempoIndexes = 128;

struct Tables {
    std::array<std::array<std::int16_t, kWaveLength>, kVoices> waveTables{};
    std::array<std::uint16_t, kNoteNumbers> pitchTable{};
    std::array<std::uint8_t, kTempoIndexes> tempoTable{};
};

// Builds the wave tables from the final instrument definitions, and the pitch
// and tempo tables.
Tables buildTables(const std::array<Instrument, kVoices>& instruments);

std::array<std::int16_t, kWaveLength> harmonicWave(const Instrument& instrument);
std::array<std::int16_t, kWaveLength> patternWave(const Instrument& instrument);

}  // namespace quarvel
