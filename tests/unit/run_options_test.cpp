#include "driver/run_options.h"

#include <gtest/gtest.h>

#include <unistd.h>

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
    bool directoryExists;  // then the directory part is resolved, else kept as typed
};

class PathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathTest, CutsTheExtensionOfTheLastComponentOnly) {
    const PathCase& c = GetParam();
    const auto options = parseRunOptions({c.name});
    ASSERT_TRUE(options);
    const auto cwd = std::filesystem::current_path();
    const std::string expected = c.directoryExists ? (cwd / c.source).lexically_normal().string()
                                                   : cwd.string() + "/" + c.source;
    EXPECT_EQ(options->sourcePath, expected);
    EXPECT_EQ(options->wavPath, c.wav);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathTest,
    ::testing::Values(PathCase{"tune", "tune.qvl", "tune.wav", true},
                      PathCase{"tune.txt", "tune.qvl", "tune.wav", true},
                      PathCase{"my.song.qvl", "my.song.qvl", "my.song.wav", true},
                      PathCase{"../tune", "../tune.qvl", "../tune.wav", true},
                      PathCase{"./tune", "tune.qvl", "./tune.wav", true},
                      PathCase{"dir.v2/tune", "dir.v2/tune.qvl", "dir.v2/tune.wav", false},
                      // ".." after a directory that is not there is not taken away as text.
                      PathCase{"a/./b/../tune.x", "a/./b/../tune.qvl", "a/./b/../tune.wav",
                               false}));

// A scratch tree: real/sub, and link -> real/sub.
class ScratchTree : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("quarvel-paths-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root_ / "real" / "sub");
        std::filesystem::create_directory_symlink(root_ / "real" / "sub", root_ / "link");
        real_ = std::filesystem::canonical(root_).string();
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    std::filesystem::path root_;
    std::string real_;
};

TEST_F(ScratchTree, TheAbsoluteNameNamesTheFileTheSystemOpens) {
    const std::string root = root_.string();
    const struct {
        std::string name, source;
    } cases[] = {
        // ".." after a link leads to the link target's parent, as the system means it.
        {root + "/link/../tune", real_ + "/real/tune.qvl"},
        {root + "/real/sub/../tune.txt", real_ + "/real/tune.qvl"},
        {root + "/link/tune", real_ + "/real/sub/tune.qvl"},
        {root + "/nothere/../tune", root + "/nothere/../tune.qvl"},
        {"/song.txt", "/song.qvl"},
    };
    for (const auto& c : cases) {
        const auto options = parseRunOptions({c.name});
        ASSERT_TRUE(options);
        EXPECT_EQ(options->sourcePath, c.source) << c.name;
        EXPECT_EQ(options->scoreName, stemOf(c.name) + ".qvl") << c.name;
    }
}

TEST(RunOptions, LongNamesFit) {
    const std::string longName(4000, 'n');
    const auto longOne = parseRunOptions({longName});
    ASSERT_TRUE(longOne);
    EXPECT_EQ(longOne->wavPath, longName + ".wav");
    EXPECT_EQ(longOne->scoreName, longName + ".qvl");
}

TEST(RunOptions, ImportNamesItsScoreAsEveryScoreIsNamed) {
    const struct {
        std::vector<std::string> args;
        std::string score;
        bool force;
    } cases[]{
        {{"--import", "in.mid", "tune"}, "tune.qvl", false},
        {{"--import=in.mid", "dir.x/tune.txt"}, "dir.x/tune.qvl", false},
        {{"tune", "--force", "--import", "in.mid"}, "tune.qvl", true},
        {{"--import", "in.mid", "-"}, "-", false},  // standard output
        {{"--import", "in.mid", "--", "-x"}, "-x.qvl", false},
    };
    for (const auto& c : cases) {
        const auto options = parseRunOptions(c.args);
        ASSERT_TRUE(options) << c.args.front();
        EXPECT_EQ(options->importPath, "in.mid");
        EXPECT_EQ(options->scoreName, c.score);
        EXPECT_EQ(options->force, c.force);
        EXPECT_FALSE(options->playFlag);
    }
    EXPECT_FALSE(parseRunOptions({"--import"}));            // no MIDI file
    EXPECT_FALSE(parseRunOptions({"--import", "in.mid"}));  // no score
    EXPECT_FALSE(parseRunOptions({"--force=yes", "--import", "in.mid", "t"}));
}

TEST(PlayingTime, MinutesAndSecondsWithoutLeadingZero) {
    EXPECT_EQ(formatPlayingTime(0), "0:0.00");
    EXPECT_EQ(formatPlayingTime(44100.0 * 185.25), "3:5.25");
    EXPECT_EQ(formatPlayingTime(44100.0 * 120), "2:0.00");
    EXPECT_EQ(formatPlayingTime(44100.0 * 59.5), "0:59.50");
    EXPECT_EQ(formatPlayingTime(30912), "0:0.70");
    // The last 5 ms before a whole minute round up into the next minute.
    EXPECT_EQ(formatPlayingTime(44100.0 * 59.996), "1:0.00");
    EXPECT_EQ(formatPlayingTime(44100.0 * 119.999), "2:0.00");
    EXPECT_EQ(formatPlayingTime(44100.0 * 60 - 1), "1:0.00");
    EXPECT_EQ(formatPlayingTime(44100.0 * 59.994), "0:59.99");
    EXPECT_EQ(formatPlayingTime(44100.0 * 3599.997), "60:0.00");
}

}  // namespace
}  // namespace quarvel
