// The notes of a rendering as they sound: what a piano roll draws and what a
// note-by-note export writes. Read off the score events of the parts that
// play (replays and repeats come out unrolled), slot by slot: a note starts
// where a slot gets a new envelope or a different note number, and lasts
// while the slot holds that note without a new attack.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "compiler/score_image.h"
#include "synth/tables.h"

namespace quarvel {

struct SoundingNote {
    std::uint8_t voice = 0;  // 0..4
    std::uint8_t slot = 0;   // output slot 0..4
    std::uint8_t instrument = 0;
    std::uint8_t note = 0;        // 1..71 semitones, 73..88 noise rates
    std::uint8_t level = 0;       // envelope level at the attack
    std::uint32_t partIndex = 0;  // where the note starts
    std::uint32_t bar = 0;        // index into SourceMap::bars
    std::uint64_t startFrame = 0;
    std::uint64_t frames = 0;
    std::uint64_t startTick = 0;  // score ticks from the start of the rendering
    std::uint64_t ticks = 0;
    std::optional<std::uint32_t> token;  // into SourceMap::tokens, when notes were kept
};

// Parts from the first one numbered startPart (0: all), in order of start.
std::vector<SoundingNote> soundingNotes(const CompiledScore& score, const Tables& tables,
                                        int startPart);

}  // namespace quarvel
