// --from and --to: a bar or a place in the text, and the frames of the bars
// they choose in the rendering.
#include <gtest/gtest.h>

#include "compiler/score_compiler.h"
#include "driver/play_range.h"
#include "synth/player.h"
#include "synth/tables.h"

namespace quarvel {
namespace {

struct PlaceCase {
    const char* text;
    bool placeAllowed;
    std::optional<std::size_t> bar;
    std::int64_t line, column;
    bool ok;
};

class PlaceTest : public testing::TestWithParam<PlaceCase> {};

TEST_P(PlaceTest, ReadsABarOrAPlace) {
    const auto& c = GetParam();
    std::string problem;
    const auto place = parseBarPlace(c.text, c.placeAllowed, &problem);
    ASSERT_EQ(place.has_value(), c.ok) << c.text;
    if (!place) {
        EXPECT_NE(problem.find(c.text), std::string::npos);
        return;
    }
    EXPECT_EQ(place->bar, c.bar);
    EXPECT_EQ(place->line, c.line);
    EXPECT_EQ(place->column, c.column);
}

INSTANTIATE_TEST_SUITE_P(
    RangeValues, PlaceTest,
    testing::Values(PlaceCase{"1", true, 1, 0, 0, true}, PlaceCase{"012", false, 12, 0, 0, true},
                    PlaceCase{"3:17", true, std::nullopt, 3, 17, true},
                    PlaceCase{"3:17", false, {}, 0, 0, false},
                    PlaceCase{"0", true, {}, 0, 0, false}, PlaceCase{"", true, {}, 0, 0, false},
                    PlaceCase{"-2", true, {}, 0, 0, false}, PlaceCase{"2x", true, {}, 0, 0, false},
                    PlaceCase{"3:", true, {}, 0, 0, false}, PlaceCase{":3", true, {}, 0, 0, false},
                    PlaceCase{"1:2:3", true, {}, 0, 0, false},
                    PlaceCase{"99999999999999", true, {}, 0, 0, false}));

// One quarter note at the default tempo.
constexpr std::uint64_t kQuarter = 30912;

struct RangeCase {
    const char* name;
    const char* score;
    int startPart;
    const char* from;  // "" for none
    const char* to;
    std::uint64_t startQuarters, endQuarters;  // expected, in quarter notes
    const char* problem;                       // a part of the reason, or "" when it resolves
};

class RangeTest : public testing::TestWithParam<RangeCase> {};

TEST_P(RangeTest, ChoosesTheFramesOfTheBars) {
    const auto& c = GetParam();
    const CompiledScore score = compileScore(SourceText(c.score), Dialect::combined);
    const Tables tables = buildTables(score.instruments);
    const Timeline timeline(score, tables, c.startPart);
    std::string problem;
    std::optional<BarPlace> from, to;
    if (*c.from) from = parseBarPlace(c.from, true, &problem);
    if (*c.to) to = parseBarPlace(c.to, false, &problem);
    const auto range = resolveRange(from, to, score.sourceMap, timeline, &problem);
    if (*c.problem) {
        EXPECT_FALSE(range);
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        return;
    }
    ASSERT_TRUE(range) << problem;
    EXPECT_EQ(range->start, c.startQuarters * kQuarter);
    EXPECT_EQ(range->end, c.endQuarters * kQuarter);
}

// Bars of 2, 1 and 3 quarters; in the replay score part 1 (bars 1, 2) sounds
// again after part 2 (bar 3).
constexpr const char* kThreeBars = "Q 0 1 M\n2 M\nQ 3 4 5 M\n";
constexpr const char* kReplay = "P01 Q 0 1 M 2 M P02 Q 4 M R01\n";
constexpr const char* kParts = "P01 Q 0 M P02 Q 1 M\n";

INSTANTIATE_TEST_SUITE_P(
    Scores, RangeTest,
    testing::Values(RangeCase{"whole", kThreeBars, 0, "", "", 0, 6, ""},
                    RangeCase{"from", kThreeBars, 0, "2", "", 2, 6, ""},
                    RangeCase{"to", kThreeBars, 0, "", "2", 0, 3, ""},
                    RangeCase{"one bar", kThreeBars, 0, "3", "3", 3, 6, ""},
                    RangeCase{"place in bar 2", kThreeBars, 0, "2:1", "", 2, 6, ""},
                    RangeCase{"place between bars", kThreeBars, 0, "1:6", "", 2, 6, ""},
                    RangeCase{"place after the last", kThreeBars, 0, "9:1", "", 0, 0, "no bar"},
                    RangeCase{"no such bar", kThreeBars, 0, "4", "", 0, 0, "no bar 4"},
                    RangeCase{"backwards", kThreeBars, 0, "3", "2", 0, 0, "before it starts"},
                    RangeCase{"replayed end bar", kReplay, 0, "3", "1", 0, 0, "before"},
                    RangeCase{"first pass after the start", kReplay, 0, "2", "2", 2, 3, ""},
                    RangeCase{"a later part first", kReplay, 2, "", "2", 0, 4, ""},
                    RangeCase{"a later part, from its bar", kReplay, 2, "3", "", 0, 4, ""},
                    RangeCase{"replays counted", kReplay, 0, "", "", 0, 7, ""},
                    RangeCase{"not in this rendering", kParts, 2, "1", "", 0, 0, "does not sound"},
                    RangeCase{"end not in this rendering", kParts, 2, "", "1", 0, 0,
                              "does not sound"}));

// Moving by bars within a range, as the arrow keys of watch mode do; frames
// in quarter notes, `now` in eighths so that it can lie inside a quarter.
TEST(BarMoves, StepAndNearestStayWithinTheRange) {
    constexpr std::uint64_t kEighth = kQuarter / 2;
    struct Step {
        const char* name;
        const char* score;
        std::uint64_t startQuarters, endQuarters;  // the range
        std::uint64_t nowEighths;
        bool sounding;
        int step;
        std::optional<std::uint64_t> landsQuarters;
    };
    const Step steps[] = {
        {"forward", kThreeBars, 0, 6, 0, true, 1, 2},
        {"back to the bar before", kThreeBars, 0, 6, 5, true, -1, 0},
        {"forward from inside a bar", kThreeBars, 0, 6, 5, true, 1, 3},
        {"past the last bar", kThreeBars, 0, 6, 8, true, 1, std::nullopt},
        {"back past the first", kThreeBars, 0, 6, 0, true, -1, 0},
        {"two at once", kThreeBars, 0, 6, 0, true, 2, 3},
        {"stopped at the end, back", kThreeBars, 0, 6, 11, false, -1, 3},
        {"stopped at the end, forward", kThreeBars, 0, 6, 11, false, 1, std::nullopt},
        {"back before the range's start", kThreeBars, 2, 6, 5, true, -1, 2},
        {"forward past the range's end", kThreeBars, 0, 3, 5, true, 1, std::nullopt},
        {"through a replay", kReplay, 0, 7, 7, true, 1, 4},
        {"nothing rendered", "", 0, 0, 0, true, 1, std::nullopt},
    };
    for (const Step& c : steps) {
        const CompiledScore score = compileScore(SourceText(c.score), Dialect::combined);
        const Tables tables = buildTables(score.instruments);
        const Timeline timeline(score, tables, 0);
        const FrameRange range{c.startQuarters * kQuarter, c.endQuarters * kQuarter, {}};
        const auto lands = barStep(timeline, range, c.nowEighths * kEighth, c.sounding, c.step);
        EXPECT_EQ(lands,
                  c.landsQuarters ? std::optional(*c.landsQuarters * kQuarter) : std::nullopt)
            << c.name;
    }

    struct Nearest {
        const char* name;
        const char* score;
        std::uint64_t startQuarters, endQuarters;
        std::size_t bar;
        std::uint64_t startsQuarters;
    };
    const Nearest nearest[] = {
        {"the bar itself", kReplay, 0, 7, 1, 2},
        {"a bar past the last: the last", kReplay, 0, 7, 9, 3},
        {"before the range: the next in it", kReplay, 3, 7, 0, 3},
        {"after the range: the one before", kReplay, 0, 3, 2, 2},
        {"no bars: the range's start", "", 0, 0, 4, 0},
    };
    for (const Nearest& c : nearest) {
        const CompiledScore score = compileScore(SourceText(c.score), Dialect::combined);
        const Tables tables = buildTables(score.instruments);
        const Timeline timeline(score, tables, 0);
        const FrameRange range{c.startQuarters * kQuarter, c.endQuarters * kQuarter, {}};
        EXPECT_EQ(nearestBarStart(timeline, score.sourceMap.bars.size(), range, c.bar),
                  c.startsQuarters * kQuarter)
            << c.name;
    }
}

// The frame sounding while the sound handed over comes from several places.
TEST(HandedSoundTest, FollowsTheSegmentsAsTheDevicePlaysThem) {
    HandedSound sound;
    EXPECT_EQ(sound.at(0), std::nullopt);
    sound.continueFrom(100);
    sound.hand(4096);
    sound.continueFrom(500, 20);  // a loop that ran into its start 20 frames into the next
    sound.hand(4096);
    const std::pair<std::uint64_t, std::uint64_t> heard[] = {
        {0, 100}, {10, 110}, {4115, 4215}, {4116, 500}, {4120, 504}, {9000, 500 + 9000 - 4116},
    };
    for (const auto& [played, frame] : heard) EXPECT_EQ(sound.at(played), frame) << played;
    sound.jumpTo(70000);  // the queue dropped: the new place sounds from what was handed
    EXPECT_EQ(sound.at(8192), 70000u);
    EXPECT_EQ(sound.at(8192 + 5), 70005u);
    sound.restart();
    EXPECT_EQ(sound.handed(), 0u);
    EXPECT_EQ(sound.at(0), std::nullopt);
}

}  // namespace
}  // namespace quarvel
