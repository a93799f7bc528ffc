// Standard MIDI File export: the notes of a rendering as they sound, for
// notation programs and sequencers.
//
// Type 1, 48 ticks per quarter note, so one MIDI tick is one score tick.
// Track 1 is the conductor: the score's name and a tempo (microseconds per
// quarter note, from the part's tempo index and beat unit) at every part
// start where it changes. Then one track for each voice that sounds, on
// channel N for voice N; noise notes go to the percussion channel 10 through
// drumKeyOf(). Every note is one note-on and its note-off: a held note is one
// note, each new attack a new note; replays and repeats are written out as
// they sound.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "compiler/score_image.h"
#include "notation/general_midi.h"
#include "synth/tables.h"

namespace quarvel {

inline constexpr int kMidiDivision = 48;      // ticks per quarter note, as in the score
inline constexpr int kPercussionChannel = 9;  // channel 10, counted from 0

// A stretch of the rendering in frames, [first, end): what --from/--to cut.
struct ExportRange {
    std::uint64_t first = 0;
    std::uint64_t end = UINT64_MAX;
};

// Note-on velocity of an envelope level: loudness follows the square of the
// velocity in General MIDI synthesizers, so the velocity is 127 times the
// square root of the amplitude share; 0 for a silent level.
int midiVelocityOf(int level);

// The whole file. startPart as -g takes it (0: from the start); only notes
// inside `range` are written, cut at its ends, with time 0 at its start.
std::vector<std::uint8_t> midiFileBytes(const CompiledScore& score, const Tables& tables,
                                        int startPart, const std::string& title,
                                        ExportRange range = {});

// Writes the file whole or not at all; throws OutputError (status 4).
void writeMidiFile(const std::string& path, const CompiledScore& score, const Tables& tables,
                   int startPart, const std::string& title, ExportRange range = {});

}  // namespace quarvel
