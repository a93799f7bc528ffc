#include "driver/run_options.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace quarvel {
namespace {

struct SwitchCase {
    std::vector<std::string> args;
    bool usage;
    bool play, wav, crc;
    int startPart;
    Dialect dialect;
};

class SwitchTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchTest, ParsesLikeTheCommandLineSays) {
    const SwitchCase& c = GetParam();
    const auto options = parseRunOptions(c.args);
    ASSERT_EQ(!options.has_value(), c.usage);
    if (c.usage) return;
    EXPECT_EQ(options->playFlag, c.play);
    EXPECT_EQ(options->writeWav, c.wav);
    EXPECT_EQ(options->computeCrc, c.crc);
    EXPECT_EQ(options->startPart, c.startPart);
    EXPECT_EQ(options->dialect, c.dialect);
}

using D = Dialect;
INSTANTIATE_TEST_SUITE_P(
    Switches, SwitchTest,
    ::testing::Values(SwitchCase{{"tune"}, false, true, false, false, 0, D::combined},
                      SwitchCase{{"-w", "tune"}, false, false, true, false, 0, D::combined},
                      SwitchCase{{"-c", "tune"}, false, false, false, true, 0, D::combined},
                      SwitchCase{{"-w", "-c", "tune"}, false, false, true, true, 0, D::combined},
                      SwitchCase{{"-wav", "tune"}, false, false, true, false, 0, D::combined},
                      SwitchCase{{"-W", "tune"}, false, false, true, false, 0, D::combined},
                      SwitchCase{{"-G0A", "tune"}, false, true, false, false, 10, D::combined},
                      SwitchCase{{"-gabc", "tune"}, false, true, false, false, 171, D::combined},
                      SwitchCase{{"-g5", "-g", "tune"}, false, true, false, false, 5, D::combined},
                      SwitchCase{{"-g7", "-gz", "tune"}, false, true, false, false, 7, D::combined},
                      SwitchCase{{"-o", "-p", "tune"}, false, true, false, false, 0, D::lutera},
                      SwitchCase{{"-p", "-o", "tune"}, false, true, false, false, 0, D::quarvel},
                      SwitchCase{{"-P", "-P", "tune"}, false, true, false, false, 0, D::lutera},
                      // A lone "-w" is the score name: switches need two arguments left.
                      SwitchCase{{"-w"}, false, true, false, false, 0, D::combined},
                      SwitchCase{{}, true, false, false, false, 0, D::combined},
                      SwitchCase{{"-x", "tune"}, true, false, false, false, 0, D::combined},
                      SwitchCase{{"-", "tune"}, true, false, false, false, 0, D::combined},
                      SwitchCase{{"tune", "-w"}, true, false, false, false, 0, D::combined},
                      SwitchCase{{"one", "two"}, true, false, false, false, 0, D::combined},
                      SwitchCase{{"-w", "one", "two"}, true, false, false, false, 0, D::combined},
                      // The exports replace playing, and go with -w and -c.
                      SwitchCase{{"--midi", "t"}, false, false, false, false, 0, D::combined},
                      SwitchCase{{"--export=a", "t"}, false, false, false, false, 0, D::combined},
                      SwitchCase{{"-c", "--midi", "t"}, false, false, false, true, 0, D::combined}),
    [](const auto& param) { return "case" + std::to_string(param.index); });

struct PathCase {
    std::string name, source, wav;
};

class PathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathTest, CutsTheExtensionOfTheLastComponentOnly) {
    const PathCase& c = GetParam();
    const auto options = parseRunOptions({c.name});
    ASSERT_TRUE(options);
    const auto cwd = std::filesystem::current_path();
    EXPECT_EQ(options->sourcePath, (cwd / c.source).lexically_normal().string());
    EXPECT_EQ(options->wavPath, c.wav);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathTest,
    ::testing::Values(PathCase{"tune", "tune.qvl", "tune.wav"},
                      PathCase{"tune.txt", "tune.qvl", "tune.wav"},
                      PathCase{"my.song.qvl", "my.song.qvl", "my.song.wav"},
                      PathCase{"../tune", "../tune.qvl", "../tune.wav"},
                      PathCase{"./tune", "tune.qvl", "./tune.wav"},
                      PathCase{"dir.v2/tune", "dir.v2/tune.qvl", "dir.v2/tune.wav"},
                      PathCase{"a/./b/../tune.x", "a/tune.qvl", "a/./b/../tune.wav"}));

TEST(RunOptions, AbsoluteNamesStayAndLongNamesFit) {
    const auto absolute = parseRunOptions({"/tmp/x/../song.txt"});
    ASSERT_TRUE(absolute);
    EXPECT_EQ(absolute->sourcePath, "/tmp/song.qvl");
    const std::string longName(4000, 'n');
    const auto longOne = parseRunOptions({longName});
    ASSERT_TRUE(longOne);
    EXPECT_EQ(longOne->wavPath, longName + ".wav");
}

TEST(PlayingTime, MinutesAndSecondsWithoutLeadingZero) {
    EXPECT_EQ(formatPlayingTime(0), "0:0.00");
    EXPECT_EQ(formatPlayingTime(44100.0 * 185.25), "3:5.25");
    EXPECT_EQ(formatPlayingTime(44100.0 * 120), "2:0.00");
    EXPECT_EQ(formatPlayingTime(44100.0 * 59.5), "0:59.50");
    EXPECT_EQ(formatPlayingTime(30912), "0:0.70");
}

}  // namespace
}  // namespace quarvel
