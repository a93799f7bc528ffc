#include "synth/sounding_notes.h"

#include <algorithm>
#include <array>

#include "synth/score_walk.h"

namespace quarvel {

std::vector<SoundingNote> soundingNotes(const CompiledScore& score, const Tables& tables,
                                        int startPart) {
    const ScoreImage& image = score.image;
    const SourceMap& map = score.sourceMap;
    std::vector<SoundingNote> done;
    std::array<std::optional<SoundingNote>, kVoices> open;  // by slot
    std::array<std::uint8_t, kVoices> level = score.envelopeLevel;
    const auto close = [&](int slot) {
        if (open[slot]) done.push_back(*open[slot]);
        open[slot].reset();
    };

    // The written token of a note that starts `tick` ticks into a bar.
    const auto tokenOf = [&](std::uint32_t bar, int voice,
                             std::uint32_t tick) -> std::optional<std::uint32_t> {
        const auto first =
            std::lower_bound(map.notes.begin(), map.notes.end(), bar,
                             [](const NoteSource& n, std::uint32_t b) { return n.bar < b; });
        for (auto n = first; n != map.notes.end() && n->bar == bar; ++n) {
            if (n->voice == voice && n->startTick == tick) return n->token;
        }
        return std::nullopt;
    };

    std::optional<std::size_t> bar;
    std::uint32_t barTick = 0;
    for (const WalkedEvent& at : ScoreWalk(image, tables, startPart)) {
        const ScoreEvent& event = *at.event;
        const auto found = map.barOfEvent(at.eventIndex);
        if (at.firstOfPart || found != bar) barTick = 0;
        bar = found;
        const std::uint8_t row = bar ? map.bars[*bar].slotMapIndex : 0;
        for (int voice = 0; voice < kVoices; ++voice) {
            const int slot = kSlotMaps[row][voice];
            const std::uint8_t note = event.note[slot];
            if (event.envelope[slot] != 0) level[slot] = event.envelope[slot];
            const bool goesOn = open[slot] && event.envelope[slot] == 0 && open[slot]->note == note;
            if (goesOn) {
                open[slot]->frames += at.frames;
                open[slot]->ticks += event.duration;
                continue;
            }
            close(slot);
            if (note == 0) continue;
            SoundingNote n;
            n.voice = static_cast<std::uint8_t>(voice);
            n.slot = static_cast<std::uint8_t>(slot);
            n.instrument = at.part->slotInstrument[slot];
            n.note = note;
            n.level = level[slot];
            n.partIndex = static_cast<std::uint32_t>(at.partIndex);
            n.bar = bar ? static_cast<std::uint32_t>(*bar) : 0;
            n.startFrame = at.startFrame;
            n.frames = at.frames;
            n.startTick = at.startTick;
            n.ticks = event.duration;
            if (bar) n.token = tokenOf(static_cast<std::uint32_t>(*bar), voice, barTick);
            open[slot] = n;
        }
        barTick += event.duration;
    }
    for (int slot = 0; slot < kVoices; ++slot) close(slot);
    std::stable_sort(done.begin(), done.end(), [](const SoundingNote& a, const SoundingNote& b) {
        return a.startFrame < b.startFrame;
    });
    return done;
}

}  // namespace quarvel
