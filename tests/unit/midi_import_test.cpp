// The MIDI import's pieces: the reader on hand-made bytes, the grid, lengths
// as duration letters, the spreading of chords over voices, and the export's
// tables read backwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/score_image.h"
#include "import/midi_import.h"
#include "import/midi_reader.h"
#include "import/midi_tables.h"
#include "output/midi_file.h"

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

TEST(ImportLengths, AsFewLettersAsCanBe) {
    struct Case {
        int ticks;
        int lastAtLeast;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases{
        {48, 2, {"Q"}},      {72, 2, {"Q."}}, {16, 2, {"I:"}},           {240, 2, {"W", "Q"}},
        {5, 2, {"X", "X:"}}, {1, 2, {}},      {49, 2, {"I..", "T."}},    {3, 3, {"X"}},
        {5, 3, {"X:", "X"}}, {2, 3, {}},      {225, 2, {"W", "I", "T."}}};
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
        if (c.want.size() == 1) {
            EXPECT_EQ(got, c.want) << c.ticks;
        }
    }
    // Every length from 2 ticks up to four bars has a way.
    for (int t = 2; t < 768; ++t) EXPECT_FALSE(lengthPieces(t).empty()) << t;
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
