// The one walk over a rendering in time: which parts it takes for a start
// part, every event's first frame and tick and its frames across tempo and
// beat-unit changes, replays and parts without events; and its length against
// the player, which steps through the events on its own.
#include "synth/score_walk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "synth/player.h"

namespace quarvel {
namespace {

struct Part {
    std::uint8_t number = 0;
    std::uint8_t tempoIndex = 1;
    std::uint8_t beatUnit = 1;
    std::vector<std::uint8_t> durations{};
    std::optional<std::size_t> replayOf{};  // the index of a part whose events it plays
};

// An image with a zero-duration event after every part's own events.
ScoreImage imageOf(const std::vector<Part>& parts) {
    ScoreImage image;
    for (const Part& p : parts) {
        PartHeader h;
        h.number = p.number;
        h.tempoIndex = p.tempoIndex;
        h.beatUnit = p.beatUnit;
        if (p.replayOf) {
            h.events = image.parts[*p.replayOf].events;
        } else {
            h.events = image.events.size();
            for (const std::uint8_t d : p.durations) {
                image.events.push_back(ScoreEvent{d, {1, 0, 0, 0, 0}, {2, 0, 0, 0, 0}});
            }
            image.events.push_back(ScoreEvent{});
        }
        image.parts.push_back(h);
    }
    return image;
}

// Slices of 2, 6 and 10 frames at tempo indexes 1, 2 and 3.
Tables smallTempos() {
    Tables tables = buildTables(kDefaultInstruments);
    tables.tempoTable[1] = 1;
    tables.tempoTable[2] = 3;
    tables.tempoTable[3] = 5;
    return tables;
}

struct Step {
    std::size_t partIndex;
    std::size_t eventIndex;
    std::uint64_t startFrame;
    std::uint64_t startTick;
    std::uint64_t framesPerTick;
    std::uint64_t frames;
    bool firstOfPart;

    friend bool operator==(const Step&, const Step&) = default;
};

std::vector<Step> stepsOf(const ScoreImage& image, const Tables& tables, int startPart) {
    std::vector<Step> steps;
    for (const WalkedEvent& at : ScoreWalk(image, tables, startPart)) {
        EXPECT_EQ(at.part, &image.parts[at.partIndex]);
        EXPECT_EQ(at.event, &image.events[at.eventIndex]);
        EXPECT_EQ(at.endFrame(), at.startFrame + at.frames);
        EXPECT_EQ(at.endTick(), at.startTick + at.event->duration);
        steps.push_back({at.partIndex, at.eventIndex, at.startFrame, at.startTick, at.framesPerTick,
                         at.frames, at.firstOfPart});
    }
    return steps;
}

std::string describe(const std::vector<Step>& steps) {
    std::string out;
    for (const Step& s : steps) {
        out += "[part " + std::to_string(s.partIndex) + " event " + std::to_string(s.eventIndex) +
               " frame " + std::to_string(s.startFrame) + " tick " + std::to_string(s.startTick) +
               " ×" + std::to_string(s.framesPerTick) + " " + std::to_string(s.frames) +
               (s.firstOfPart ? " first" : "") + "] ";
    }
    return out;
}

// Parts by index: [0] unnumbered, ticks 3 and 2 at 2 frames a tick; [1]
// numbered 1, empty; [2] numbered 5, one tick at 2 × 6 frames; [3] numbered
// 7, replays [0] at 4 × 10 frames a tick; [4] numbered 5 again, four ticks at
// 2 frames. Events: 0 1 (2 ends [0]) (3 ends [1]) 4 (5) 6 (7).
TEST(ScoreWalk, StepsFromEachStartPart) {
    const ScoreImage image = imageOf({
        {.number = 0, .tempoIndex = 1, .beatUnit = 1, .durations = {3, 2}},
        {.number = 1, .tempoIndex = 3, .beatUnit = 16},
        {.number = 5, .tempoIndex = 2, .beatUnit = 2, .durations = {1}},
        {.number = 7, .tempoIndex = 3, .beatUnit = 4, .replayOf = 0},
        {.number = 5, .tempoIndex = 1, .beatUnit = 1, .durations = {4}},
    });
    struct Case {
        int startPart;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {0,
         {{0, 0, 0, 0, 2, 6, true},
          {0, 1, 6, 3, 2, 4, false},
          {2, 4, 10, 5, 12, 12, true},
          {3, 0, 22, 6, 40, 120, true},
          {3, 1, 142, 9, 40, 80, false},
          {4, 6, 222, 11, 2, 8, true}}},
        // A start part without events starts where the next part with events does.
        {1,
         {{2, 4, 0, 0, 12, 12, true},
          {3, 0, 12, 1, 40, 120, true},
          {3, 1, 132, 4, 40, 80, false},
          {4, 6, 212, 6, 2, 8, true}}},
        // The first part with the number, not a later one.
        {5,
         {{2, 4, 0, 0, 12, 12, true},
          {3, 0, 12, 1, 40, 120, true},
          {3, 1, 132, 4, 40, 80, false},
          {4, 6, 212, 6, 2, 8, true}}},
        // A replay plays the events of the part it names at its own tempo.
        {7,
         {{3, 0, 0, 0, 40, 120, true}, {3, 1, 120, 3, 40, 80, false}, {4, 6, 200, 5, 2, 8, true}}},
        {9, {}},
        {256, {}},
    };
    const Tables tables = smallTempos();
    for (const Case& c : cases) {
        SCOPED_TRACE("start part " + std::to_string(c.startPart));
        const auto steps = stepsOf(image, tables, c.startPart);
        EXPECT_EQ(steps, c.steps) << describe(steps);
        const WalkLength length = walkLength(image, tables, c.startPart);
        EXPECT_EQ(length.frames, steps.empty() ? 0 : steps.back().startFrame + steps.back().frames);
        EXPECT_EQ(length.ticks, steps.empty() ? 0 : steps.back().startTick + 4);
    }
}

TEST(ScoreWalk, NothingToWalk) {
    struct Case {
        std::string name;
        ScoreImage image;
        int startPart;
    };
    const Case cases[] = {
        {"no parts", ScoreImage{}, 0},
        {"parts without events", imageOf({{}, {.number = 3}, {.number = 4}}), 0},
        {"from a part without events to the end", imageOf({{.durations = {2}}, {.number = 3}}), 3},
        {"a start part nobody has", imageOf({{.durations = {2}}, {.number = 3, .durations = {1}}}),
         2},
    };
    const Tables tables = smallTempos();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScoreWalk walk(c.image, tables, c.startPart);
        EXPECT_TRUE(walk.begin() == walk.end());
        EXPECT_EQ(walkLength(c.image, tables, c.startPart).frames, 0u);
        EXPECT_EQ(walkLength(c.image, tables, c.startPart).ticks, 0u);
    }
}

TEST(ScoreWalk, StartPartSearch) {
    const ScoreImage image = imageOf({{.number = 0}, {.number = 2}, {.number = 4}, {.number = 2}});
    const std::pair<int, std::size_t> cases[] = {{0, 0}, {2, 1}, {4, 2}, {3, 4}, {255, 4}};
    for (const auto& [startPart, index] : cases) {
        EXPECT_EQ(firstPlayedPart(image, startPart), index) << "start part " << startPart;
    }
    EXPECT_EQ(firstPlayedPart(ScoreImage{}, 0), 0u);
}

// A quarter note at the default tempo lasts 96 slices of 322 frames (the
// renderer's own test of a rendered quarter note), at every beat unit the
// same 96 slices.
TEST(ScoreWalk, SliceAndTickFramesAtTheDefaultTempo) {
    const Tables tables = buildTables(kDefaultInstruments);
    const PartHeader part;  // tempo index 96, beat unit 2
    EXPECT_EQ(sliceFramesOf(tables, part), 322u);
    EXPECT_EQ(framesPerTickOf(tables, part) * 48, 96u * 322);
    const std::pair<int, std::uint64_t> units[] = {{1, 96}, {2, 48}, {4, 24}, {8, 12}, {16, 6}};
    for (const auto& [unit, ticks] : units) {
        EXPECT_EQ(framesPerTickOf(tables, unit, 96) * ticks, 96u * 322) << "beat unit " << unit;
    }
}

// Scores with tempo and beat-unit changes between parts, parts without
// notes, replays and repeats: the walk's length is the frames the player
// renders from each start part (the player steps through the events on its
// own), and every part starts where the timeline says it does.
TEST(ScoreWalk, LengthIsWhatThePlayerRenders) {
    const std::string scores[] = {
        "Q 1 2 3 4",
        "=60\nV1 Q 0 1 2 3 V2 Q 4 5 6 7 M\nP01\n=80 NI\nV1 Q 4 5 V2 I 1 2 3 4 M\nP02\nP03\n"
        "=A0\nV1 I 1 2 3 4 M\nV1 S 1 2 3 4 5 6 7 8 M\nR01\nP04\nNH =30\nV1 H 5 M\nR02\nP05\n"
        "V1 ( Q 1 2 M )2\nR03\nP06\nV1 Q 9 M\n",
        "P01\nP02\n=C0\nV1 Q 1 2 M\nP08\nR02\nP07\n",
    };
    for (const std::string& text : scores) {
        const CompiledScore score = compileScore(SourceText(text), Dialect::combined);
        const Tables tables = buildTables(score.instruments);
        std::vector<int> starts{0, 0x7E};
        for (const PartHeader& part : score.image.parts) starts.push_back(part.number);
        for (const int startPart : starts) {
            SCOPED_TRACE(text + " from part " + std::to_string(startPart));
            Player player(score, tables, startPart);
            std::vector<std::uint32_t> buffer(4096);
            std::uint64_t rendered = 0;
            while (const std::size_t n = player.render(buffer.data(), buffer.size())) rendered += n;
            EXPECT_EQ(walkLength(score.image, tables, startPart).frames, rendered);
            EXPECT_EQ(renderedFrames(score, tables, startPart), rendered);

            // A part starts with the first event walked in it or after it (a
            // part without events takes no time, also before the first part
            // that sounds), or at the end.
            const Timeline timeline(score, tables, startPart);
            std::vector<bool> seen(256);
            for (std::size_t p = firstPlayedPart(score.image, startPart);
                 p < score.image.parts.size(); ++p) {
                const int number = score.image.parts[p].number;
                if (seen[number]) continue;
                seen[number] = true;
                std::uint64_t start = rendered;
                for (const WalkedEvent& at : ScoreWalk(score.image, tables, startPart)) {
                    if (at.partIndex >= p) {
                        start = at.startFrame;
                        break;
                    }
                }
                EXPECT_EQ(timeline.startOfPart(number), start) << "part " << number;
            }
        }
    }
}

}  // namespace
}  // namespace quarvel
