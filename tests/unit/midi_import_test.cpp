// The MIDI import's pieces: the reader on hand-made bytes, the grid, lengths
// as duration letters, the spreading of chords over voices, and the export's
// tables read backwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/score_compiler.h"
#include "compiler/score_image.h"
#include "compiler/source_reader.h"
#include "import/midi_import.h"
#include "import/midi_reader.h"
#include "import/midi_tables.h"
#include "output/midi_file.h"
#include "synth/sounding_notes.h"
#include "synth/tables.h"

namespace quarvel {
namespace {

TEST(MidiReader, RunningStatusAndVelocityZeroAreNoteOffs) {
    const std::vector<std::uint8_t> file{'M', 'T',  'h',  'd', 0, 0, 0, 6,  0, 0, 0, 1, 0, 96,  //
                                         'M', 'T',  'r',  'k', 0, 0, 0, 14,                     //
                                         0,   0x91, 60,   100,  // note-on, channel 2
                                         10,  62,   90,         // running status: another note-on
                                         5,   60,   0,          // velocity 0: a note-off
                                         0,   0xFF, 0x2F, 0};
    const MidiSong song = readMidiSong(file.data(), file.size());
    ASSERT_EQ(song.tracks.size(), 1u);
    const auto& t = song.tracks[0];
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[1].kind, MidiEvent::Kind::noteOn);
    EXPECT_EQ(t[1].tick, 10u);
    EXPECT_EQ(t[1].channel, 1);
    EXPECT_EQ(t[1].a, 62);
    EXPECT_EQ(t[2].kind, MidiEvent::Kind::noteOff);
    EXPECT_EQ(t[2].tick, 15u);
    EXPECT_EQ(t[3].kind, MidiEvent::Kind::endOfTrack);
}

TEST(MidiReader, EveryCutOfAFileIsRefusedWithAReason) {
    const std::vector<std::uint8_t> file{
        'M', 'T', 'h', 'd', 0,    0, 0, 6,    0,  1,  0,    1,    0,  96, 'M', 'T',  'r',  'k', 0,
        0,   0,   15,  0,   0xC0, 5, 0, 0x90, 60, 64, 0x60, 0x80, 60, 64, 0,   0xFF, 0x2F, 0};
    for (std::size_t size = 0; size < file.size(); ++size) {
        try {
            readMidiSong(file.data(), size);
            ADD_FAILURE() << "a file cut at " << size << " bytes was read";
        } catch (const MidiFormatError& error) {
            EXPECT_EQ(std::string(error.what()).find('\n'), std::string::npos);
        }
    }
}

TEST(ImportGrid, FileTicksRoundToTheNearestScoreTick) {
    struct Case {
        std::uint64_t tick;
        int division;
        std::uint64_t want;
    };
    for (const Case& c : std::vector<Case>{{480, 480, 48},
                                           {1, 480, 0},
                                           {5, 480, 1},     // 0.5 rounds up
                                           {160, 480, 16},  // a triplet eighth
                                           {7, 7, 48},
                                           {(1ull << 40) * 96, 96, (1ull << 40) * 48}}) {
        EXPECT_EQ(scoreTickOf(c.tick, c.division), c.want) << c.tick << "/" << c.division;
    }
}

// The length of a compiled score in ticks.
int scoreTicks(const std::string& text) {
    int ticks = 0;
    for (const ScoreEvent& e : compileScore(SourceText(text), Dialect::combined).image.events) {
        ticks += e.duration;
    }
    return ticks;
}

TEST(ImportLengths, AsFewLettersAsCanBe) {
    struct Case {
        int ticks;
        int lastAtLeast;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases{{48, 2, {"Q"}},
                                  {72, 2, {"Q."}},
                                  {16, 2, {"I:"}},
                                  {240, 2, {"Q", "W"}},
                                  {5, 2, {"X:", "X"}},
                                  {1, 2, {}},
                                  {49, 2, {"T:.", "I.."}},
                                  {3, 3, {"X"}},
                                  {5, 3, {"X:", "X"}},
                                  {2, 3, {}},
                                  {225, 2, {"H.....", "I."}},
                                  // Lengths only three signs or more give in one letter (they were
                                  // two pieces and more), and the plainer spellings where they are
                                  // as few: 18 is "S.", not "S:...", 65 stays "Q:." and "T.".
                                  {17, 2, {"S:.."}},
                                  {22, 2, {"S..."}},
                                  {45, 2, {"I..."}},
                                  {78, 2, {"Q:....."}},
                                  {190, 2, {"H......"}},
                                  {158, 2, {"H:......"}},
                                  {18, 2, {"S."}},
                                  {8, 2, {"S:"}},
                                  {65, 2, {"Q:.", "T."}},
                                  {207, 2, {"H.....", "S."}},
                                  {34, 3, {"I:.."}}};
    for (const Case& c : cases) {
        std::vector<std::string> got;
        int sum = 0;
        for (const auto& p : lengthPieces(c.ticks, c.lastAtLeast)) {
            got.push_back(p.letter);
            sum += p.ticks;
        }
        EXPECT_EQ(got.size(), c.want.size()) << c.ticks;
        if (!got.empty()) {
            EXPECT_EQ(sum, c.ticks);
            EXPECT_GE(lengthPieces(c.ticks, c.lastAtLeast).back().ticks, c.lastAtLeast);
        }
        EXPECT_EQ(got, c.want) << c.ticks;
    }
    // Every length from 2 ticks up to four bars has a way.
    for (int t = 2; t < 768; ++t) EXPECT_FALSE(lengthPieces(t).empty()) << t;
}

TEST(ImportLengths, FewestPiecesOfTheLanguagesLetters) {
    // The fewest pieces of every length, from the lengths the compiler reads
    // as one duration letter.
    std::vector<int> fewest(768, 1 << 20);
    fewest[0] = 0;
    for (std::size_t t = 1; t < fewest.size(); ++t) {
        for (std::size_t one = 2; one <= std::min<std::size_t>(t, 255); ++one) {
            if (isOneDuration(one)) fewest[t] = std::min(fewest[t], fewest[t - one] + 1);
        }
    }
    for (int t = 2; t < 768; ++t) {
        const auto pieces = lengthPieces(t);
        EXPECT_EQ(static_cast<int>(pieces.size()), fewest[static_cast<std::size_t>(t)]) << t;
        int sum = 0;
        for (const auto& p : pieces) {
            EXPECT_TRUE(isOneDuration(static_cast<std::uint64_t>(p.ticks))) << t;
            EXPECT_EQ(scoreTicks(p.letter + " 0 M"), p.ticks) << p.letter;
            sum += p.ticks;
        }
        EXPECT_EQ(sum, t);
    }
}

TEST(ImportVoices, ChordsSpreadAndWhatDoesNotFitIsDropped) {
    // A chord of seven notes: the top, the bottom and the three below the top stay.
    std::vector<SpreadNote> chord;
    for (int pitch : {60, 64, 67, 71, 74, 77, 81}) chord.push_back({0, 96, pitch, 0});
    const auto voices = spreadVoices(chord);
    std::vector<int> dropped;
    for (std::size_t i = 0; i < chord.size(); ++i) {
        if (voices[i] < 0) dropped.push_back(chord[i].pitch);
    }
    EXPECT_EQ(dropped, (std::vector<int>{64, 67}));
    EXPECT_EQ(voices[6], 0);  // the top note leads
    EXPECT_EQ(voices[0], 1);  // the bass next
}

TEST(ImportVoices, StreamsKeepTheirVoices) {
    // A melody (stream 0) and a bass (stream 1), then a free voice for a
    // second melody note over the held first one.
    const std::vector<SpreadNote> notes{{0, 48, 72, 0},   {0, 96, 48, 1},   {48, 96, 74, 0},
                                        {96, 192, 50, 1}, {96, 144, 76, 0}, {96, 192, 79, 0}};
    // At a chord the top note goes on: the melody's own voice keeps the top.
    EXPECT_EQ(spreadVoices(notes), (std::vector<int>{0, 1, 0, 1, 2, 0}));
    // Back to back notes share a voice; overlapping ones cannot.
    EXPECT_EQ(spreadVoices({{0, 48, 60, 0}, {48, 96, 60, 0}, {50, 60, 62, 0}}),
              (std::vector<int>{0, 0, 1}));
}

// A file of one track at 48 ticks a quarter (the score's own grid): each
// note as start, end, key, on the drum channel or not.
struct TestNote {
    std::uint64_t start;
    std::uint64_t end;
    std::uint8_t key;
    bool drum = false;
};

MidiSong songOf(const std::vector<TestNote>& notes) {
    MidiSong song;
    song.format = 0;
    song.division = kImportQuarter;
    std::vector<MidiEvent> track;
    for (const TestNote& n : notes) {
        const std::uint8_t channel = n.drum ? kPercussionChannel : 0;
        track.push_back({n.start, MidiEvent::Kind::noteOn, channel, n.key, 100, 0});
        track.push_back({n.end, MidiEvent::Kind::noteOff, channel, n.key, 0, 0});
    }
    std::stable_sort(track.begin(), track.end(),
                     [](const MidiEvent& a, const MidiEvent& b) { return a.tick < b.tick; });
    track.push_back({track.back().tick, MidiEvent::Kind::endOfTrack, 0, 0, 0, 0});
    song.tracks.push_back(track);
    return song;
}

// A written note: an octave sign, a step, an accidental, a mark
// (-?[0-9A-G](&&|&|%|##|#)?['",;]?).
bool isNoteWord(std::string_view w) {
    if (!w.empty() && w.front() == '-') w.remove_prefix(1);
    if (w.empty() ||
        !((w.front() >= '0' && w.front() <= '9') || (w.front() >= 'A' && w.front() <= 'G'))) {
        return false;
    }
    w.remove_prefix(1);
    for (const std::string_view accidental : {"&&", "##", "&", "#", "%"}) {
        if (w.starts_with(accidental)) {
            w.remove_prefix(accidental.size());
            break;
        }
    }
    if (!w.empty() && std::string_view("'\",;").find(w.front()) != std::string_view::npos) {
        w.remove_prefix(1);
    }
    return w.empty();
}

// How many notes the bars of a score write (each tied piece counts).
int writtenNotes(const std::string& text) {
    int count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != 'V') continue;
        std::istringstream words(line);
        for (std::string w; words >> w;) count += isNoteWord(w) ? 1 : 0;
    }
    return count;
}

TEST(ImportPieces, HeldNotesInTheFewestPieces) {
    struct Case {
        const char* what;
        std::vector<TestNote> notes;
        int pieces;  // the notes written, tied pieces counted
    };
    const std::vector<Case> cases{
        {"17 ticks: S:..", {{0, 17, 60}}, 1},
        {"22 ticks: S...", {{0, 22, 60}}, 1},
        {"190 ticks: H......", {{0, 190, 60}}, 1},
        {"a half note tied to 17 ticks", {{0, 113, 60}}, 2},
        // Two silent ticks after a quarter: a rest of their own, not a mark
        // that cuts the quarter in two.
        {"a quarter, two ticks of rest, a quarter", {{0, 48, 60}, {50, 98, 62}}, 2},
        // One silent tick has only the mark: 49 ticks are two pieces.
        {"a quarter, a tick of rest, a quarter", {{0, 48, 60}, {49, 97, 62}}, 3},
        {"a quarter struck twice", {{0, 48, 60}, {48, 96, 60}}, 2},
        // A drum held 50 ticks, then one silent tick: Q and a burst of two
        // ticks (X"), not 49 ticks in two pieces and a burst of one.
        {"a drum of 50 ticks before a silent tick", {{0, 50, 36, true}, {51, 99, 36, true}}, 3},
        {"a drum of 49 ticks before a silent tick", {{0, 49, 36, true}, {50, 98, 36, true}}, 3},
    };
    for (const Case& c : cases) {
        const ImportedScore imported = importMidi(songOf(c.notes), "test.mid");
        EXPECT_EQ(writtenNotes(imported.text), c.pieces) << c.what << "\n" << imported.text;
        // The bar holds the notes: no join that one letter could have written.
        for (const Warning& w :
             compileScore(SourceText(imported.text), Dialect::combined).warnings) {
            EXPECT_NE(w.kind, WarningKind::repeatedNote) << c.what << ": " << w.message;
            EXPECT_FALSE(faultOfImport(w)) << c.what << ": " << w.message;
        }
    }
}

// A voice spanning more than four octaves in a bar: the notes out of reach
// move by octaves, and two different notes moved onto one written step back
// to back keep their two attacks.
TEST(ImportPieces, NotesMovedOntoOneStepKeepTheirAttacks) {
    const std::vector<std::vector<TestNote>> songs{
        {{0, 48, 24}, {48, 96, 65}, {96, 144, 77}},                  // C1, F4, F5
        {{0, 48, 24}, {48, 96, 67}, {96, 120, 79}, {120, 144, 67}},  // C1, G4, G5, G4
        {{0, 48, 24}, {48, 96, 68}, {96, 144, 80}},                  // C1, Ab4, Ab5 in E flat
        {{0, 48, 24}, {48, 96, 77}, {96, 144, 77}},                  // F5 struck twice
    };
    for (const auto& notes : songs) {
        const ImportedScore imported = importMidi(songOf(notes), "test.mid");
        const CompiledScore score = compileScore(SourceText(imported.text), Dialect::combined);
        const auto heard = soundingNotes(score, buildTables(score.instruments), 0);
        EXPECT_EQ(heard.size(), notes.size()) << imported.text;
        for (const Warning& w : score.warnings) {
            EXPECT_NE(w.kind, WarningKind::repeatedNote) << w.message << "\n" << imported.text;
        }
    }
}

TEST(ImportTables, TheExportsTablesReadBackwards) {
    for (int letter = 0; letter < kVoices; ++letter) {
        EXPECT_EQ(kProgramInstruments[kInstrumentPrograms[static_cast<std::size_t>(letter)]],
                  letter);
    }
    for (int rate = 0; rate < 16; ++rate) {
        const DrumRate r = kDrumRates[kDrums[static_cast<std::size_t>(rate)].key];
        EXPECT_EQ(r.rate, rate);
        EXPECT_TRUE(r.exact);
    }
    EXPECT_FALSE(kDrumRates[44].exact);  // the pedal hi-hat plays as the closed one
    EXPECT_EQ(kDrumRates[44].rate, kDrumRates[42].rate);
    for (int digit = 0; digit < 16; ++digit) {
        const int velocity = midiVelocityOf(kEnvelopePresets[static_cast<std::size_t>(digit)]);
        EXPECT_EQ(loudnessOfVelocity(velocity), digit) << velocity;
    }
    EXPECT_EQ(loudnessOfVelocity(127), 15);
    EXPECT_EQ(loudnessOfVelocity(1), 0);
}

}  // namespace
}  // namespace quarvel
