// The synthesis tables: wave tables of the default and of hand-made
// instruments, pitch, tempo and decay tables, and the CRC that identifies a
// rendering.
#include "synth/tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/reference_renderer.h"
#include "output/render_loop.h"

namespace quarvel {
namespace {

using Wave = std::array<std::int16_t, kWaveLength>;

Instrument harmonic(std::array<std::uint8_t, 8> digits, std::uint8_t volume) {
    return {1, digits, volume};
}
Instrument pattern(std::array<std::uint8_t, 8> digits, std::uint8_t volume, std::uint8_t kind = 0) {
    return {kind, digits, volume};
}

int countNonZero(const Wave& w) {
    return static_cast<int>(std::count_if(w.begin(), w.end(), [](int v) { return v != 0; }));
}

TEST(WaveTables, DefaultInstrumentAStartsWithTheKnownRise) {
    const Wave a = buildTables(kDefaultInstruments).waveTables[0];
    const std::vector<int> expected{0, 3, 6, 9, 12, 14, 17, 19, 21, 23, 24, 26, 27, 27, 28, 28};
    EXPECT_EQ(std::vector<int>(a.begin(), a.begin() + 16), expected);
}

TEST(WaveTables, DefaultInstrumentsHaveTheirRangesAndSums) {
    struct Case {
        char letter;
        int min, max, sum;
    };
    const Case cases[] = {{'A', -29, 28, -128},
                          {'B', -37, 36, -127},
                          {'C', -20, 20, -126},
                          {'D', -23, 22, -128},
                          {'E', -29, 28, -128}};
    const Tables tables = buildTables(kDefaultInstruments);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("instrument ") + c.letter);
        const Wave& w = tables.waveTables[c.letter - 'A'];
        EXPECT_EQ(*std::min_element(w.begin(), w.end()), c.min);
        EXPECT_EQ(*std::max_element(w.begin(), w.end()), c.max);
        EXPECT_EQ(std::accumulate(w.begin(), w.end(), 0), c.sum);
        EXPECT_EQ(w[0], 0);
    }
    EXPECT_EQ(tables.waveTables[2][64], 20);
    EXPECT_EQ(tables.waveTables[2][192], -20);
}

// One harmonic alone: sin(2 pi k j / 256) scaled by 42.5 and the volume, then
// floored, so a full-volume peak is 42 and a trough -43.
TEST(WaveTables, SingleHarmonicsAreFlooredSines) {
    struct Case {
        Instrument instrument;
        int position, sample;
    };
    const Case cases[] = {
        {harmonic({1, 0, 0, 0, 0, 0, 0, 0}, 15), 64, 42},
        {harmonic({1, 0, 0, 0, 0, 0, 0, 0}, 15), 192, -43},
        {harmonic({1, 0, 0, 0, 0, 0, 0, 0}, 15), 32, 30},  // 42.5 sin(pi/4) = 30.05
        {harmonic({1, 0, 0, 0, 0, 0, 0, 0}, 15), 128, 0},  // 3.14159265 falls short of pi
        {harmonic({9, 0, 0, 0, 0, 0, 0, 0}, 15), 64, 42},  // normalised by the digit sum
        {harmonic({0, 1, 0, 0, 0, 0, 0, 0}, 15), 32, 42},  // digit 2 is the second harmonic
        {harmonic({0, 0, 0, 0, 0, 0, 0, 3}, 15), 8, 42},   // digit 8 the eighth
        {harmonic({1, 0, 0, 0, 0, 0, 0, 0}, 5), 64, 14},   // 42.5 / 3 = 14.17
        {harmonic({1, 0, 0, 0, 0, 0, 0, 0}, 5), 192, -15},
        {harmonic({1, 0, 0, 0, 0, 0, 0, 1}, 15), 64, 21},  // 42.5 (1 + sin 4 pi) / 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("position " + std::to_string(c.position));
        EXPECT_EQ(harmonicWave(c.instrument)[c.position], c.sample);
    }
}

TEST(WaveTables, SilentInstrumentsGiveAllZeroTables) {
    const Instrument silent[] = {
        harmonic({0, 0, 0, 0, 0, 0, 0, 0}, 15),
        harmonic({14, 15, 10, 5, 4, 14, 0, 0}, 0),
        pattern({0, 0, 0, 0, 0, 0, 0, 0}, 15),
        pattern({0, 0, 0, 1, 0, 0, 0, 0}, 0),
    };
    for (const Instrument& i : silent) {
        const Wave w = i.kind == 1 ? harmonicWave(i) : patternWave(i);
        EXPECT_EQ(countNonZero(w), 0) << "kind " << int{i.kind} << " volume " << int{i.volume};
    }
}

TEST(WaveTables, RandomHarmonicInstrumentsStayInRangeAndStartAtZero) {
    std::mt19937 rng(7);
    for (int n = 0; n < 200; ++n) {
        Instrument i = harmonic({}, static_cast<std::uint8_t>(rng() % 16));
        for (auto& d : i.digits) d = static_cast<std::uint8_t>(rng() % 16);
        const Wave w = harmonicWave(i);
        EXPECT_EQ(w[0], 0);
        EXPECT_GE(*std::min_element(w.begin(), w.end()), -43);
        EXPECT_LE(*std::max_element(w.begin(), w.end()), 42);
    }
}

// The register starts at the seed (first four digits) and feeds back the mask
// (last four) whenever bit 16 is set after the shift; bit 15 sounds.
TEST(WaveTables, PatternInstrumentsFollowTheShiftRegister) {
    {
        // 1 walks up to bit 15 at position 14, then on through the high bits
        // and out; the mask 0 reloads nothing.
        const Wave w = patternWave(pattern({0, 0, 0, 1, 0, 0, 0, 0}, 15));
        EXPECT_EQ(countNonZero(w), 1);
        EXPECT_EQ(w[14], 45);
    }
    {
        // 0x8001 feeds back at once and leaves only bit 16; the register is
        // not 0 until that bit has left the top, then reloads with 2.
        const Wave w = patternWave(pattern({8, 0, 0, 1, 0, 0, 0, 2}, 15));
        const auto first = std::find_if(w.begin(), w.end(), [](int v) { return v != 0; });
        EXPECT_EQ(first - w.begin(), 30);
        EXPECT_EQ(*first, 45);
    }
    {
        // 0x4000 sounds at once; 0x10003 after the feedback, shifted up to bits
        // 30/15/14, then 31/16/15 fed back again.
        const Wave w = patternWave(pattern({4, 0, 0, 0, 0, 0, 0, 3}, 7));
        std::vector<int> expected(18, 0);
        expected[0] = expected[15] = expected[16] = 21;
        EXPECT_EQ(std::vector<int>(w.begin(), w.begin() + 18), expected);
    }
    {
        // Only kind 1 is harmonic; any other kind is a pattern.
        const Instrument odd = pattern({0, 0, 0, 1, 0, 0, 0, 0}, 15, 2);
        std::array<Instrument, kVoices> set = kDefaultInstruments;
        set[3] = odd;
        EXPECT_EQ(buildTables(set).waveTables[3], patternWave(pattern(odd.digits, 15)));
    }
    std::mt19937 rng(11);
    for (int n = 0; n < 100; ++n) {
        Instrument i = pattern({}, static_cast<std::uint8_t>(rng() % 16));
        for (auto& d : i.digits) d = static_cast<std::uint8_t>(rng() % 16);
        for (int v : patternWave(i)) EXPECT_TRUE(v == 0 || v == 3 * i.volume) << v;
    }
}

TEST(WaveTables, EachRowComesFromItsOwnInstrument) {
    std::array<Instrument, kVoices> set = kDefaultInstruments;
    set[1] = pattern({0, 0, 0, 1, 0, 0, 0, 0}, 15);
    set[4] = harmonic({0, 0, 0, 0, 0, 0, 0, 0}, 15);
    const Tables tables = buildTables(set);
    const Tables defaults = buildTables(kDefaultInstruments);
    EXPECT_EQ(tables.waveTables[0], defaults.waveTables[0]);
    EXPECT_EQ(countNonZero(tables.waveTables[1]), 1);
    EXPECT_EQ(tables.waveTables[2], defaults.waveTables[2]);
    EXPECT_EQ(tables.waveTables[3], defaults.waveTables[3]);
    EXPECT_EQ(countNonZero(tables.waveTables[4]), 0);
}

TEST(PitchTable, HoldsSilenceTemperedNotesNoiseRatesAndTheTopEntry) {
    const auto& pitch = buildTables(kDefaultInstruments).pitchTable;
    const std::pair<int, int> entries[] = {{0, 0},     {1, 97},  {10, 163},   {46, 1308},
                                           {72, 5872}, {73, 96}, {88, 41991}, {89, 32748}};
    for (const auto& [note, increment] : entries) EXPECT_EQ(pitch[note], increment) << note;

    const std::array<int, 16> noise{96,   144,  216,  324,  486,   729,   1093,  1639,
                                    2458, 3687, 5530, 8295, 12442, 18663, 27994, 41991};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(pitch[73 + i], noise[i]) << 73 + i;

    // Note n is 27.5 * 2^((n + 2) / 12) Hz as a rounded increment of a 16-bit
    // phase at 22050 steps per second.
    for (int n = 1; n <= 72; ++n) {
        const double hz = 27.5 * std::pow(2.0, (n + 2) / 12.0);
        EXPECT_EQ(pitch[n], static_cast<int>(std::floor(hz * 65536 / 22050 + 0.5))) << n;
    }
}

TEST(TempoTable, GivesHalfSliceLengths) {
    const auto& tempo = buildTables(kDefaultInstruments).tempoTable;
    const std::pair<int, int> entries[] = {{0, 1},   {1, 1},    {2, 3},     {3, 5},
                                           {50, 83}, {96, 161}, {100, 167}, {127, 213}};
    for (const auto& [index, entry] : entries) EXPECT_EQ(tempo[index], entry) << index;
    EXPECT_TRUE(std::is_sorted(tempo.begin(), tempo.end()));
}

TEST(DecayTable, FallsInEqualPairsToSilence) {
    for (int level = 0; level < 256; level += 2) {
        EXPECT_EQ(kDecayTable[level], kDecayTable[level + 1]) << level;
    }
    const std::pair<int, int> entries[] = {{0, 255},  {5, 255},  {6, 245}, {7, 245},
                                           {36, 128}, {37, 128}, {64, 70}, {128, 17},
                                           {252, 1},  {254, 0},  {255, 0}};
    for (const auto& [level, amplitude] : entries)
        EXPECT_EQ(kDecayTable[level], amplitude) << level;
    EXPECT_TRUE(std::is_sorted(kDecayTable.rbegin(), kDecayTable.rend()));
}

TEST(Crc, ChainsFromAllOnesOverTheBytes) {
    const std::string abc = "abc";
    EXPECT_EQ(crcUpdate(0xFFFFFFFFu, abc.data(), abc.size()), 0x359A672Fu);
    EXPECT_EQ(referenceCrc(0xFFFFFFFFu, abc.data(), abc.size()), 0x359A672Fu);
    // From 0 the register starts at all ones: the common CRC-32.
    EXPECT_EQ(crcUpdate(0, abc.data(), abc.size()), 0x352441C2u);
    EXPECT_EQ(referenceCrc(0, abc.data(), abc.size()), 0x352441C2u);
    // Leading zero bytes leave the starting value alone; no bytes change nothing.
    const std::vector<std::uint8_t> zeros(1000, 0);
    EXPECT_EQ(crcUpdate(0xFFFFFFFFu, zeros.data(), zeros.size()), 0xFFFFFFFFu);
    EXPECT_EQ(crcUpdate(0x12345678u, zeros.data(), 0), 0x12345678u);
}

TEST(Crc, ProductAndReferenceAgreeOnRandomDataInPieces) {
    std::mt19937 rng(3);
    std::vector<std::uint8_t> data(70000);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::uint32_t whole = referenceCrc(0xFFFFFFFFu, data.data(), data.size());
    EXPECT_EQ(crcUpdate(0xFFFFFFFFu, data.data(), data.size()), whole);
    for (int trial = 0; trial < 20; ++trial) {
        std::uint32_t product = 0xFFFFFFFFu;
        std::uint32_t reference = 0xFFFFFFFFu;
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t piece = std::min<std::size_t>(rng() % 9000, data.size() - at);
            product = crcUpdate(product, data.data() + at, piece);
            reference = referenceCrc(reference, data.data() + at, piece);
            ASSERT_EQ(product, reference) << "at byte " << at;
            at += piece;
        }
        EXPECT_EQ(product, whole);
    }
}

}  // namespace
}  // namespace quarvel
