// The exports of a stretch of the rendering (what --from/--to will cut): the
// MIDI file holds exactly the notes that sound in the stretch, cut at its
// ends and timed from its start, and the WAVE export exactly its frames.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>
#include <vector>

#include "compiler/score_compiler.h"
#include "output/audio_export.h"
#include "output/midi_file.h"
#include "output/wave_file.h"
#include "synth/player.h"
#include "synth/sounding_notes.h"
#include "synth/wave_head.h"

namespace quarvel {
namespace {

// (channel, key, start tick, end tick) of every note in a MIDI file.
using Heard = std::tuple<int, int, std::uint64_t, std::uint64_t>;

std::vector<Heard> notesOf(const std::vector<std::uint8_t>& file) {
    std::vector<Heard> notes;
    std::size_t at = 14;  // past the header chunk
    while (at + 8 <= file.size()) {
        const std::size_t end = at + 8 +
                                (std::size_t{file[at + 4]} << 24 | std::size_t{file[at + 5]} << 16 |
                                 std::size_t{file[at + 6]} << 8 | file[at + 7]);
        at += 8;
        std::uint64_t tick = 0;
        std::map<int, std::uint64_t> on;  // by channel and key
        while (at < end) {
            std::uint64_t delta = 0;
            do delta = delta << 7 | (file[at] & 0x7F);
            while (file[at++] & 0x80);
            tick += delta;
            const std::uint8_t status = file[at];
            if (status == 0xFF) {
                at += 3 + file[at + 2];  // meta events here are shorter than 128 bytes
            } else if ((status & 0xF0) == 0x90) {
                on[(status & 0x0F) << 8 | file[at + 1]] = tick;
                at += 3;
            } else if ((status & 0xF0) == 0x80) {
                notes.emplace_back(status & 0x0F, file[at + 1],
                                   on.at((status & 0x0F) << 8 | file[at + 1]), tick);
                at += 3;
            } else {
                at += 2;  // program change
            }
        }
    }
    std::sort(notes.begin(), notes.end());
    return notes;
}

struct RangeCase {
    const char* label;
    // The range runs from a tick into one bar to a tick into another (endBar
    // past the last bar: to the end of the rendering).
    std::size_t firstBar, firstTicks, endBar, endTicks;
};

class ExportRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ExportRangeTest, HoldsWhatSoundsInTheRange) {
    // A whole note under quarters, a repeat, noise, and a replay at another tempo.
    const CompiledScore score = compileScore(
        SourceText("=60 V1 Q1 2 3 4 V2 W-3 M (V1 H5 4 V2 W-5 M )1 V3 _ I4' 4' A' 4' * M "
                   "P01 =A0 V1 Q1 3 5 3 V2 W1 M R01 P02 V1 W7 M"),
        Dialect::combined);
    const Tables tables = buildTables(score.instruments);
    const Timeline timeline(score, tables, 0);
    const auto notes = soundingNotes(score, tables, 0);
    const RangeCase& c = GetParam();
    // A frame some ticks into a bar, and its tick, read off a note sounding there.
    const auto point = [&](std::size_t bar,
                           std::size_t ticks) -> std::pair<std::uint64_t, std::uint64_t> {
        const auto start = timeline.startOfBar(bar);
        if (!start) return {UINT64_MAX, UINT64_MAX};
        for (const SoundingNote& n : notes) {
            if (n.startFrame == *start && ticks < n.ticks) {
                return {n.startFrame + ticks * (n.frames / n.ticks), n.startTick + ticks};
            }
        }
        ADD_FAILURE() << "no note long enough at the start of bar " << bar;
        return {0, 0};
    };
    const auto [first, firstTick] = point(c.firstBar, c.firstTicks);
    const auto [last, lastTick] = point(c.endBar, c.endTicks);
    const ExportRange range{first, last};
    const std::uint64_t end = std::min(last, timeline.totalFrames());

    // The notes overlapping the range, cut at its ends, in ticks from its start.
    std::vector<Heard> want;
    for (const SoundingNote& n : notes) {
        const std::uint64_t endTick = std::min(n.startTick + n.ticks, lastTick);
        const std::uint64_t startTick = std::max(n.startTick, firstTick);
        if (startTick >= endTick) continue;
        want.emplace_back(n.note >= 73 ? kPercussionChannel : n.voice,
                          n.note >= 73 ? drumKeyOf(n.note) : midiKeyOf(n.note),
                          startTick - firstTick, endTick - firstTick);
    }
    std::sort(want.begin(), want.end());
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(notesOf(midiFileBytes(score, tables, 0, "t", range)), want);

    // The WAVE export: a head for the range's frames, then those frames.
    char path[] = "/tmp/quarvel-range-XXXXXX.wav";
    const int fd = ::mkstemps(path, 4);
    ASSERT_GE(fd, 0);
    ::close(fd);
    exportAudio(path, AudioFormat::wave, score, tables, 0, "t", range);
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::remove(path);
    Player player(score, tables, 0);
    std::vector<std::uint32_t> frames(end);
    ASSERT_EQ(player.render(frames.data(), frames.size()), end);
    const WaveHead head = waveHead(static_cast<std::uint32_t>(4 * (end - first)));
    const auto* from = reinterpret_cast<const std::uint8_t*>(frames.data() + first);
    std::vector<std::uint8_t> expected(head.size() + 4 * (end - first));
    std::copy(head.begin(), head.end(), expected.begin());
    std::copy(from, from + 4 * (end - first), expected.begin() + head.size());
    EXPECT_TRUE(bytes == expected) << bytes.size() << " bytes, " << expected.size() << " expected";
}

INSTANTIATE_TEST_SUITE_P(Ranges, ExportRangeTest,
                         ::testing::Values(RangeCase{"whole", 0, 0, 99, 0},
                                           RangeCase{"secondBar", 1, 0, 2, 0},
                                           RangeCase{"cutsHeldNotes", 0, 30, 1, 40},
                                           RangeCase{"acrossParts", 2, 50, 5, 0},
                                           RangeCase{"replayOn", 4, 24, 99, 0}),
                         [](const auto& param) { return std::string(param.param.label); });

}  // namespace
}  // namespace quarvel
