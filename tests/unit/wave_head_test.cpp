// The WAVE head every writer puts in front of the samples (-w, --export
// NAME.wav, the playground), and the 4 GiB its sizes can describe.
#include "synth/wave_head.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace quarvel {
namespace {

std::uint32_t field32(const WaveHead& head, std::size_t at) {
    return static_cast<std::uint32_t>(head[at]) | static_cast<std::uint32_t>(head[at + 1]) << 8 |
           static_cast<std::uint32_t>(head[at + 2]) << 16 |
           static_cast<std::uint32_t>(head[at + 3]) << 24;
}

TEST(WaveHead, BytesOfAnEmptyRendering) {
    const WaveHead head = waveHead(0);
    const unsigned char expected[46] = {'R',  'I',  'F', 'F', 38,   0,    0, 0, 'W', 'A', 'V', 'E',
                                        'f',  'm',  't', ' ', 18,   0,    0, 0, 1,   0,   2,   0,
                                        0x44, 0xAC, 0,   0,   0x10, 0xB1, 2, 0, 4,   0,   16,  0,
                                        0,    0,    'd', 'a', 't',  'a',  0, 0, 0,   0};
    ASSERT_EQ(head.size(), 46u);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), expected));
}

// The two sizes: the RIFF chunk counts the head less 8 bytes and the samples,
// the data chunk the samples; nothing else changes with the length.
TEST(WaveHead, SizesFollowTheData) {
    const WaveHead empty = waveHead(0);
    const struct {
        std::uint32_t dataBytes, riffSize;
    } cases[] = {
        {400, 438},
        {4 * 44100, 38 + 4 * 44100},
        {0x12345678, 0x12345678 + 38},
        {static_cast<std::uint32_t>(kMaxWaveDataBytes), 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dataBytes);
        const WaveHead head = waveHead(c.dataBytes);
        EXPECT_EQ(field32(head, 4), c.riffSize);
        EXPECT_EQ(field32(head, 42), c.dataBytes);
        EXPECT_TRUE(std::equal(head.begin() + 8, head.begin() + 42, empty.begin() + 8));
        EXPECT_TRUE(std::equal(head.begin(), head.begin() + 4, empty.begin()));
    }
}

TEST(WaveHead, FitsUpToTheLastWholeFrameOf4GiB) {
    // (2^32 - 1 - 38) / 4 frames: the RIFF size of the longest is 2^32 - 2.
    const std::uint64_t last = (0xFFFFFFFFull - 38) / 4;
    const struct {
        std::uint64_t frames;
        bool fits;
    } cases[] = {
        {0, true},           {1, true},         {last - 1, true},
        {last, true},        {last + 1, false}, {std::uint64_t{1} << 32, false},
        {UINT64_MAX, false},
    };
    for (const auto& c : cases) EXPECT_EQ(waveFits(c.frames), c.fits) << c.frames;
}

}  // namespace
}  // namespace quarvel
