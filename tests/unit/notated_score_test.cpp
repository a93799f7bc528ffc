// The notated score: pitches spelled as written and sounding as rendered,
// values, ties, keys, meters, repeats, parts, drums, and the text places;
// and the MusicXML ids that lead back to the text.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "compiler/score_compiler.h"
#include "notation/musicxml.h"
#include "notation/notated_score.h"
#include "synth/tables.h"

namespace quarvel {
namespace {

struct Notated {
    CompiledScore compiled;
    Tables tables;
    NotatedScore score;
};

Notated notate(std::string_view text, NotationOptions options = {}) {
    Notated n;
    n.compiled =
        compileScore(SourceText(text), Dialect::combined, CompileOptions{.keepNotes = true});
    n.tables = buildTables(n.compiled.instruments);
    n.score = notateScore(n.compiled, n.tables, options);
    return n;
}

std::string valueCode(const NotatedValue& value) {
    static constexpr const char* kCodes[] = {"1", "2", "4", "8", "16", "32", "64", "128"};
    std::string code = kCodes[static_cast<int>(value.type)];
    code += std::string(value.dots, '.');
    if (value.triplet) code += "t";
    return code;
}

// "| C4/4 D4/8.~ | ..." : pitch (r a rest) / value, ~ tied to the next, s
// staccato, p portato, * an accidental shown.
std::string staffText(const NotatedScore& score, std::size_t staff) {
    std::string text;
    for (const auto& measure : score.staves.at(staff).measures) {
        text += "|";
        for (const NotatedNote& n : measure.notes) {
            text +=
                " " + (n.rest ? std::string("r") : pitchName(n.pitch)) + "/" + valueCode(n.value);
            if (n.tieStart) text += "~";
            if (n.articulation == Articulation::staccato) text += "s";
            if (n.articulation == Articulation::portato) text += "p";
            if (n.accidental) text += "*";
        }
        text += " ";
    }
    return text;
}

struct StaffCase {
    const char* what;
    std::string_view text;
    std::size_t staff;
    std::string expected;
};

TEST(NotatedScore, StavesFromSmallScores) {
    const StaffCase cases[] = {
        {"key takes effect at the bar line; natural kept for the bar", "K1# M Q3 3% 4 3 M 3", 0,
         "| F♯4/4 F4/4* G4/4 F4/4 | F♯4/4 "},
        {"key written before the bar line reaches the next bar", "Q3 K1# 4 3 M 3", 0,
         "| F4/4 G4/4 F4/4 | F♯4/4 "},
        {"a sharp raises the step from natural, whatever the key", "K2& M Q6 2 6# M", 0,
         "| B♭4/4 E♭4/4 B♯4/4* "},
        {"triplets", "I: 0 1 2 Q 3", 0, "| C4/8t D4/8t E4/8t F4/4 "},
        {"dots", "Q. 0 I 1 H 2 M H.. 4 I 5", 0, "| C4/4. D4/8 E4/2 | G4/2.. A4/8 "},
        {"a length no single value gives is tied notes", "W:. 0", 0, "| C4/1~ C4/4t "},
        {"equal notes merged into one sound are tied, across the bar line too", "Q0 0 M 0 1", 0,
         "| C4/4~ C4/4~ | C4/4 D4/4 "},
        {"a rest between equal notes keeps them apart", "Q0 $ 0", 0, "| C4/4 r/4 C4/4 "},
        {"articulation marks fold their rest into the note", "Q0, 1; 2' 4\"", 0,
         "| C4/4s D4/4p E4/4 G4/4 "},
        {"transposition up a tone moves the key", ">2 K1# M Q3 0", 0, "| G♯4/4 D4/4 "},
        {"transposition down a semitone", "<1 Q0 4", 0, "| B3/4 F♯4/4 "},
        {"step offset", "U+2 Q0 V2 U-7 Q0", 0, "| E4/4 "},
        {"downward steps and octave", "@ Q7 +7 0", 0, "| C3/4 C5/4 C4/4 "},
        {"a sharp from another voice changes a held note", "V1 H3 V2 I$ 3# M", 0, "| F4/4 F♯4/4* "},
        {"a voice that runs out rests to the end of its bar", "V1 Q0 V2 H4 M", 0, "| C4/4 r/4 "},
        {"repeat on bar lines written once", "(Q0 1 M )1 Q2 M", 0, "| C4/4 D4/4 | E4/4 "},
        {"repeat off the bar lines written out", "Q0 (1 M 2)1 M", 0,
         "| C4/4 D4/4 | E4/4 D4/4 | E4/4 "},
        {"repeat tied over its own start written out", "(Q0 M )1", 0, "| C4/4~ | C4/4 "},
        {"parts and a replay written out", "P01 Q0 1 M P02 Q2 M R01", 0,
         "| C4/4 D4/4 | E4/4 | C4/4 D4/4 "},
        {"drums on a percussion staff", "V4 _ Q1 9' $ M", 0, "| F4/4 C5/4 r/4 "},
        {"a voice with drums and pitches has both staves", "_ Q1, +0", 0, "| r/4 C4/4 "},
        {"its drums on the second", "_ Q1, +0", 1, "| F4/4s r/4 "},
        {"one tick", "0", 0, "| C4/128t "},
        {"a held note moved to another slot starts again", "V2 Q3 M Z3 V2 Q3 M", 0,
         "| F4/4 | F4/4 "},
        {"held on the same slot it is tied", "V2 Q3 M V2 Q3 M", 0, "| F4/4~ | F4/4 "},
        {"nothing sounds: voice 1 rests", "V2 YA Q$ M", 0, "| r/4 "},
        {"an empty score", "", 0, "| r/1 "},
    };
    for (const StaffCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Notated n = notate(c.text);
        EXPECT_EQ(staffText(n.score, c.staff), c.expected);
        // Every tie has both ends.
        int starts = 0;
        int stops = 0;
        for (const auto& staff : n.score.staves) {
            for (const auto& measure : staff.measures) {
                for (const NotatedNote& note : measure.notes) {
                    starts += note.tieStart ? 1 : 0;
                    stops += note.tieStop ? 1 : 0;
                }
            }
        }
        EXPECT_EQ(starts, stops);
    }
}

TEST(NotatedScore, MeasuresKeysMetersTemposRepeats) {
    {
        SCOPED_TRACE("a pickup, then meter changes where the bar length changes");
        const Notated n = notate("Q0 M H1 2 M Q. 3 3 M H4 2 M I5 6 7 M");
        const auto& m = n.score.measures;
        ASSERT_EQ(m.size(), 5u);
        EXPECT_TRUE(m[0].pickup);
        EXPECT_EQ(m[0].time, (TimeSignature{4, 4, false}));
        EXPECT_FALSE(m[1].time);
        EXPECT_EQ(m[2].time, (TimeSignature{3, 4, false}));
        EXPECT_EQ(m[3].time, (TimeSignature{4, 4, false}));
        EXPECT_EQ(m[4].time, (TimeSignature{3, 8, false}));
    }
    {
        SCOPED_TRACE("a half-note beat writes halves; a bar of triplets has no meter");
        const Notated n = notate("NH H0 1 M I: 0 M");
        EXPECT_EQ(n.score.measures[0].time, (TimeSignature{2, 2, false}));
        EXPECT_EQ(n.score.measures[0].tempo->beat, NoteType::half);
        EXPECT_TRUE(n.score.measures[1].time->senzaMisura);
    }
    {
        SCOPED_TRACE("keys where they take effect; tempo per part from the tempo table");
        const Notated n = notate("=C0 Q0 K3& M 0 M P =60 0 M");
        const auto& m = n.score.measures;
        ASSERT_EQ(m.size(), 3u);
        EXPECT_EQ(m[0].keyFifths, 0);
        EXPECT_EQ(m[1].keyFifths, -3);
        EXPECT_FALSE(m[2].keyFifths);
        ASSERT_TRUE(m[0].tempo && m[2].tempo);
        EXPECT_FALSE(m[1].tempo);
        const double quarterFrames = 48.0 * 2 * 2 * n.tables.tempoTable[0x60];
        EXPECT_DOUBLE_EQ(m[0].tempo->quartersPerMinute, 60.0 * 44100 / quarterFrames);
        EXPECT_GT(m[2].tempo->perMinute, m[0].tempo->perMinute);
    }
    {
        SCOPED_TRACE("a start part no part has, a range after the end: a measure of rest");
        for (const NotationOptions options :
             {NotationOptions{.startPart = 9}, NotationOptions{.firstFrame = 1u << 30}}) {
            const Notated n = notate("P01 Q0 1 M", options);
            EXPECT_EQ(staffText(n.score, 0), "| r/1 ");
            EXPECT_NE(musicXmlOf(n.score, "").find("<measure"), std::string::npos);
        }
    }
    {
        SCOPED_TRACE("bar numbers and passes, repeat bar lines with the passes");
        const Notated n = notate("Q0 M (Q1 M 2 M )2 3 M");
        const auto& m = n.score.measures;
        ASSERT_EQ(m.size(), 4u);
        EXPECT_EQ(m[1].bar, 2u);
        EXPECT_TRUE(m[1].repeatForward);
        EXPECT_EQ(m[2].repeatTimes, 3u);
        EXPECT_EQ(m[3].bar, 8u);
        const Notated out = notate("Q0 M (Q1 M 2 M )2 3 M", NotationOptions{.foldRepeats = false});
        ASSERT_EQ(out.score.measures.size(), 8u);
        EXPECT_EQ(out.score.measures[5].bar, 6u);
    }
}

// The measures alone are the notated score's measures with every pass
// written out, field by field, from every start part.
TEST(NotatedScore, MeasureLayoutIsTheNotatedScoresMeasures) {
    const char* scores[] = {
        "Q0 M H1 2 M Q. 3 3 M H4 2 M I5 6 7 M",
        "NH H0 1 M I: 0 M",
        "=C0 Q0 K3& M 0 M P =60 0 M <3 Q1 M",
        "Q0 M (Q1 M 2 M )2 3 M",
        "P01 I0 M P02 =80 NI Q1 2 M P03 R01 P04 K2# M Q5 M",
        "",
    };
    for (const char* text : scores) {
        const Notated n = notate(text, NotationOptions{.foldRepeats = false});
        std::vector<int> starts{0, 9};
        for (const PartHeader& part : n.compiled.image.parts) starts.push_back(part.number);
        for (const int startPart : starts) {
            SCOPED_TRACE(std::string(text) + " from part " + std::to_string(startPart));
            const auto whole =
                notateScore(n.compiled, n.tables,
                            NotationOptions{.startPart = startPart, .foldRepeats = false});
            const auto layout = measureLayout(n.compiled, n.tables, startPart);
            ASSERT_EQ(layout.size(), whole.measures.size());
            for (std::size_t i = 0; i < layout.size(); ++i) {
                const NotatedMeasure& a = layout[i];
                const NotatedMeasure& b = whole.measures[i];
                EXPECT_EQ(std::tie(a.bar, a.pass, a.ticks, a.startTick, a.partIndex, a.keyFifths,
                                   a.time, a.tempo, a.pickup, a.fifths, a.meter, a.tempoInForce),
                          std::tie(b.bar, b.pass, b.ticks, b.startTick, b.partIndex, b.keyFifths,
                                   b.time, b.tempo, b.pickup, b.fifths, b.meter, b.tempoInForce))
                    << "measure " << i;
                EXPECT_FALSE(a.repeatForward);
                EXPECT_EQ(a.repeatTimes, 0u);
            }
        }
    }
}

TEST(NotatedScore, StavesClefsInstrumentsAndPlaces) {
    const Notated n = notate("V1 YA Q0 V2 YB Q2 V3 Q4 V4 Q-3 V5 Q-7 M\nV1 Q1 M P V1 YC Q2 M");
    ASSERT_EQ(n.score.staves.size(), 5u);
    const Clef clefs[] = {Clef::treble, Clef::treble, Clef::treble, Clef::bass, Clef::bass};
    for (int v = 0; v < 5; ++v) {
        EXPECT_EQ(n.score.staves[v].voice, v + 1);
        EXPECT_EQ(n.score.staves[v].clef, clefs[v]);
    }
    // Voice 1 changes from A to C with the second part.
    EXPECT_EQ(n.score.staves[0].instruments, (std::vector<std::uint8_t>{0, 2}));
    EXPECT_EQ(n.score.staves[0].measures[2].instrumentChange, 2);
    const NotatedNote& second = n.score.staves[0].measures[1].notes[0];
    EXPECT_EQ(second.text.line, 2);
    EXPECT_EQ(second.text.column, 5);
    EXPECT_EQ(n.score.measures[1].bar, 2u);

    const NoteAt at = noteAt(n.score, 1, 29);  // V4's -3
    ASSERT_NE(at.note, nullptr);
    EXPECT_EQ(pitchName(at.note->pitch), "G3");
    EXPECT_EQ(at.staff->voice, 4);
    EXPECT_EQ(noteAt(n.score, 1, 2).note, nullptr);
    EXPECT_EQ(noteAt(n.score, 1, 30).note, at.note);  // its 3
    EXPECT_EQ(noteAt(n.score, 1, 31).note, nullptr);
}

TEST(NotatedScore, NamesAndValues) {
    EXPECT_EQ(pitchName({'A', -1, 4}), "A♭4");
    EXPECT_EQ(pitchName({'F', 2, 5}), "F𝄪5");
    EXPECT_EQ(midiKeyOfPitch({'B', 1, 3}), 60);
    EXPECT_EQ(plainSpelling(38, -1).step, 'D');  // note 38 is C♯4/D♭4
    EXPECT_EQ(plainSpelling(38, 0), (WrittenPitch{'C', 1, 4}));
    const std::pair<std::uint32_t, const char*> names[] = {
        {72, "dotted quarter"},           {16, "eighth triplet"},
        {168, "double-dotted half"},      {12, "16th"},
        {224, "whole + quarter triplet"}, {40, "dotted eighth + 32nd triplet"},
        {7, "32nd + 128th triplet"},
    };
    for (const auto& [ticks, name] : names) {
        EXPECT_EQ(lengthName(ticks), name) << ticks;
        std::uint32_t sum = 0;
        for (const NotatedValue& v : valuesOf(ticks)) sum += v.ticks();
        EXPECT_EQ(sum, ticks);
    }
    for (std::uint32_t ticks = 1; ticks <= 255; ++ticks) {
        std::uint32_t sum = 0;
        for (const NotatedValue& v : valuesOf(ticks)) sum += v.ticks();
        EXPECT_EQ(sum, ticks);
        EXPECT_LE(valuesOf(ticks).size(), 4u) << ticks;
    }
}

TEST(MusicXml, IdsLeadBackToTheText) {
    const Notated n = notate("(Q0 W:. 1 M )1\nQ2 $ M");
    const std::string xml = musicXmlOf(n.score, "t&t");
    for (const char* id : {"id=\"m1_1\"", "id=\"n1_3_1\"", "id=\"n1_9_1\"", "id=\"n1_9_1_2\"",
                           "id=\"m3_1\"", "id=\"n2_4_1\"", "times=\"2\"", "t&amp;t"}) {
        EXPECT_NE(xml.find(id), std::string::npos) << id;
    }
    EXPECT_EQ(xml.find("id=\"m2_1\""), std::string::npos);  // the second pass is the repeat
    const Notated out = notate("(Q0 M )1");
    EXPECT_NE(musicXmlOf(out.score, "").find("id=\"n1_3_2\""), std::string::npos);
}

}  // namespace
}  // namespace quarvel
