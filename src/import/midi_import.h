// A Standard MIDI File turned into a score a composer could have written:
// one line per bar, the voices in order, steps counted from the nearest
// octave with the accidentals the key needs, a duration letter only where
// the length changes. What cannot be kept exactly (notes beyond five at once,
// timing off the score's grid, tempos between the score's values) is listed
// in a short report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/score_image.h"
#include "import/midi_reader.h"

namespace quarvel {

inline constexpr int kImportQuarter = 48;  // score ticks per quarter note

struct ImportedScore {
    std::string text;
    std::vector<std::string> report;  // one line for each thing not kept exactly
};

// Throws MidiFormatError when the file holds nothing a score can keep (no
// notes, or music longer than a score can be).
ImportedScore importMidi(const MidiSong& song, const std::string& sourceName);

// Whether a warning on the score the import wrote means it wrote something
// other than the music. The joins of equal notes do not, as a rule: they
// are the language's only tie, and the import writes them on purpose for a
// note held over a bar line (tie-across-bar) or a length no one letter
// gives, in the fewest pieces a bar allows (lengthPieces), which
// repeated-note leaves alone. It still names one fault of the import: in a
// voice that spans more than four octaves within a bar, the notes out of
// reach move by octaves (which the report says), and two different notes
// can then be written as the same step back to back and join.
constexpr bool faultOfImport(const Warning& warning) {
    return warning.kind != WarningKind::tieAcrossBar && warning.kind != WarningKind::repeatedNote;
}

// --- Pieces, for the module tests ---

// A length in score ticks from the file's ticks, rounded to the nearest.
std::uint64_t scoreTickOf(std::uint64_t fileTick, int division);

// A length written as tied pieces of duration letters ("Q", "I.", "S:..."),
// as few as can be, the plainer spellings (two signs at most) where they are
// as few, the last at least `lastAtLeast` ticks; empty when there is no such
// way (1 tick, or a last piece that cannot be long enough).
struct LengthPiece {
    int ticks;
    std::string letter;
};
std::vector<LengthPiece> lengthPieces(int ticks, int lastAtLeast = 2);

// A note to place on one of the five voices: times in score ticks; notes of
// one stream (a track's channel) stay together where they can.
struct SpreadNote {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    int pitch = 0;  // for the order of a chord: highest and lowest first
    std::uint32_t stream = 0;
};
// The voice (0..4) of each note, or -1 for a note dropped because five were
// already sounding. Notes of one stream go to the voices it has used before;
// a chord keeps its highest and lowest notes first.
std::vector<int> spreadVoices(const std::vector<SpreadNote>& notes);

}  // namespace quarvel
