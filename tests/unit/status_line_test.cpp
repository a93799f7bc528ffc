// The status line's text, for any terminal: width, names, the locale's
// characters, the clock, the part that sounds, the progress bar.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include "compiler/score_compiler.h"
#include "driver/status_line.h"
#include "synth/player.h"
#include "synth/tables.h"

namespace quarvel {
namespace {

TEST(StatusLine, FitsTheWidthDroppingTheKeysFirst) {
    useStatusLocale("C.UTF-8");
    StatusView view;
    view.name = "tune.qvl";
    view.partNumber = 2;
    view.bar = 14;
    view.frame = 75 * kFrameRate + 34000;
    view.totalFrames = 605 * kFrameRate;
    view.keys = "ESC stop \u00b7 space edit \u00b7 TAB skip";
    const struct {
        std::size_t width;
        std::string line;
    } cases[] = {
        {100,
         "tune.qvl  part 02 \u00b7 bar 14  1:15.77 / 10:05.00  ESC stop \u00b7 space edit "
         "\u00b7 TAB skip"},
        {60, "tune.qvl  part 02 \u00b7 bar 14  1:15.77 / 10:05.00"},
        {40, "part 02 \u00b7 bar 14  1:15.77 / 10:05.00"},
        {20, "part 02 \u00b7 bar 14  1"},
        {1, ""},
    };
    for (const auto& c : cases) {
        const std::string line = formatStatus(view, c.width);
        EXPECT_EQ(line, c.line) << c.width;
        EXPECT_LT(columnsOf(line), std::max<std::size_t>(c.width, 1));
    }
}

TEST(StatusLine, NamesAndSignsForTheTerminal) {
    // (locale, name, part, width, line)
    const struct {
        const char* locale;
        std::string name;
        int part;
        std::size_t width;
        std::string line;
    } cases[] = {
        // A name that would retitle and clear the terminal is shown inert.
        {"C.UTF-8", "a\x1b]0;x\x07\x1b[2J.qvl", 0, 80,
         "a^[]0;x^G^[[2J.qvl  bar 3  0:01.00 / 0:02.00  keys \u00b7 here"},
        {"C.UTF-8",
         "a\xc2\x9b"
         "2J.qvl",
         0, 80, "a\\x9b2J.qvl  bar 3  0:01.00 / 0:02.00  keys \u00b7 here"},
        // Wide characters take two columns: the keys go, then the name is cut.
        {"C.UTF-8", "\u66f2\u66f2\u66f2\u66f2.qvl", 0, 41,
         "\u66f2\u66f2\u66f2\u66f2.qvl  bar 3  0:01.00 / 0:02.00"},
        {"C.UTF-8", "\u66f2\u66f2\u66f2\u66f2\u66f2\u66f2\u66f2\u66f2\u66f2\u66f2.qvl", 0, 30,
         "bar 3  0:01.00 / 0:02.00"},
        // Hexadecimal as the score writes it; ASCII signs where the locale has no others.
        {"C", "tune.qvl", 0x10, 80, "tune.qvl  part 10 - bar 3  0:01.00 / 0:02.00  keys - here"},
        {"C", "tune.qvl", 0xAB, 80, "tune.qvl  part AB - bar 3  0:01.00 / 0:02.00  keys - here"},
    };
    for (const auto& c : cases) {
        useStatusLocale(c.locale);
        StatusView view;
        view.name = c.name;
        view.partNumber = c.part;
        view.bar = 3;
        view.frame = kFrameRate;
        view.totalFrames = 2 * kFrameRate;
        view.keys = "keys \u00b7 here";
        const std::string line = formatStatus(view, c.width);
        EXPECT_EQ(line, c.line) << c.locale << " " << c.width;
        EXPECT_LT(columnsOf(line), c.width);
    }
    useStatusLocale("C.UTF-8");
    EXPECT_EQ(columnsOf("\u66f2.qvl"), 6u);
    EXPECT_EQ(localeText("\u2190\u2192 bar"), "\u2190\u2192 bar");
    useStatusLocale("C");
    EXPECT_EQ(localeText("\u2190\u2192 bar"), "<> bar");
}

TEST(StatusLine, ALatinOneTerminalGetsItsOwnCharacters) {
    // A Latin-1 locale made for the test (Debian's "locales" has its sources).
    const std::string dir = "/tmp/quarvel-locale-" + std::to_string(::getpid());
    const std::string make =
        "mkdir -p " + dir + " && localedef -i en_US -f ISO-8859-1 " + dir + "/en_US.ISO-8859-1";
    std::system((make + " 2>/dev/null").c_str());  // warns, with status 4, and makes it
    ASSERT_EQ(::access((dir + "/en_US.ISO-8859-1/LC_CTYPE").c_str(), R_OK), 0) << make;
    ::setenv("LOCPATH", dir.c_str(), 1);
    {
#ifdef __SANITIZE_ADDRESS__
        // glibc's newlocale keeps the copy of LOCPATH it makes.
        const __lsan::ScopedDisabler leaksOfTheLibrary;
#endif
        useStatusLocale("en_US.ISO-8859-1");
    }
    ::unsetenv("LOCPATH");
    StatusView view;
    view.name = "caf\xe9 \x1b[2J.qvl";
    view.partNumber = 0x1F;
    view.bar = 2;
    view.keys = "ESC quit \u00b7 \u2190\u2192 bar";
    const std::string line = formatStatus(view, 80);
    EXPECT_EQ(line,
              "caf\xe9 ^[[2J.qvl  part 1F \xb7 bar 2  0:00.00 / 0:00.00  ESC quit \xb7 <> bar");
    EXPECT_EQ(columnsOf(line), line.size());  // one byte, one column
    useStatusLocale("C.UTF-8");
    std::system(("rm -rf " + dir).c_str());
}

TEST(StatusLine, ClockShowsTwoDigitSecondsAndHundredths) {
    const struct {
        std::uint64_t frames;
        const char* text;
    } cases[] = {
        {0, "0:00.00"},
        {4 * kFrameRate + 34000, "0:04.77"},
        {60 * kFrameRate - 100, "1:00.00"},  // never "0:60.00"
        {750 * kFrameRate, "12:30.00"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatClock(c.frames), c.text) << c.frames;
}

TEST(StatusLine, ReplaysNameThePartThatSounds) {
    // Parts 1 and 2, part 1 replayed, then part 10 (hexadecimal).
    const CompiledScore score =
        compileScore(SourceText("P01 Q 1 M P02 Q 2 M R01 P10 Q 3 M\n"), Dialect::combined);
    const Tables tables = buildTables(score.instruments);
    const Timeline timeline(score, tables, 0);
    std::vector<int> parts;
    for (const auto& stretch : timeline.stretches()) {
        const StatusView view = viewAt(timeline, stretch.startFrame);
        if (parts.empty() || parts.back() != view.partNumber) parts.push_back(view.partNumber);
    }
    EXPECT_EQ(parts, (std::vector<int>{1, 2, 1, 0x10}));
    useStatusLocale("C");
    StatusView view = viewAt(timeline, timeline.stretches().back().startFrame);
    view.name = "t.qvl";
    EXPECT_EQ(formatStatus(view, 80).substr(0, 16), "t.qvl  part 10 -");
}

TEST(StatusLine, SoundingFrameFollowsThePlayedFramesOverTheRange) {
    const struct {
        std::uint64_t played, start, end;
        bool loop;
        std::uint64_t frame;
    } cases[] = {
        {0, 100, 200, false, 100},  {50, 100, 200, false, 150}, {500, 100, 200, false, 199},
        {250, 100, 200, true, 150}, {100, 100, 200, true, 100}, {7, 5, 5, true, 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(soundingFrame(c.played, c.start, c.end, c.loop), c.frame) << c.played;
    }
}

TEST(StatusLine, ProgressBarFillsWithTheFrames) {
    useStatusLocale("C.UTF-8");
    EXPECT_EQ(formatProgress("t.wav", 0, 200, 25), "t.wav  [..........]   0%");
    EXPECT_EQ(formatProgress("t.wav", 100, 200, 25), "t.wav  [#####.....]  50%");
    EXPECT_EQ(formatProgress("t.wav", 300, 200, 25), "t.wav  [##########] 100%");
    EXPECT_EQ(formatProgress("t.wav", 0, 0, 25), "t.wav  [##########] 100%");
    EXPECT_EQ(columnsOf(formatProgress("t.wav", 1, 2, 200)), 5 + 2 + 2 + 40 + 1 + 4);
    EXPECT_EQ(formatProgress("\x1b[2J", 0, 2, 25), "^[[2J  [..........]   0%");
}

}  // namespace
}  // namespace quarvel
