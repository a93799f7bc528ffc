// The merger lays the five voice queues side by side and cuts the bar into
// score events: spans in which no voice starts or ends a note. Each voice's
// note code is resolved into a note number with the transposition, step
// offsets, slot map and accidental memory in force at the merge.
#include <algorithm>
#include <cstdint>

#include "compiler/note_tokens.h"
#include "compiler/score_compiler.h"

namespace quarvel {

// The mark that split a rest piece off the note before it in the same token.
std::uint8_t ScoreCompiler::articulationMark(int voice, const QueueEntry& entry) const {
    const QueueEntry* first = queues[voice].storage.data();
    if (entry.code != kRestCode || &entry == first || entry.textLength == 0) return 0;
    if ((&entry - 1)->textOffset() != entry.textOffset()) return 0;
    const char mark = reader.slice(entry.textOffset() + entry.textLength - 1, 1)[0];
    return mark == ',' || mark == ';' || mark == '\'' || mark == '"'
               ? static_cast<std::uint8_t>(mark)
               : 0;
}

void ScoreCompiler::mergeVoiceQueues() {
    state.currentVoice = 0;
    std::array<std::size_t, kVoices> queued{};
    for (int v = 0; v < kVoices; ++v) {
        queued[v] = queues[v].tail;
        queues[v].at(queues[v].tail).duration = kQueueEndMark;
        queues[v].tail = 0;
    }
    const std::size_t firstEvent = image.events.size();
    const auto bar = static_cast<std::uint32_t>(sourceMap.bars.size());
    std::uint32_t barTicks = 0;
    // The entry each voice sounded in the event before: a new head is a new note.
    std::array<const QueueEntry*, kVoices> previous{};
    const auto& slotMap = kSlotMaps[state.slotMapIndex];
    // The head entry of each voice; storage does not move during the merge.
    std::array<QueueEntry*, kVoices> head;
    for (int v = 0; v < kVoices; ++v) head[v] = queues[v].storage.data();
    for (;;) {
        std::uint8_t shortest = kQueueEndMark;
        for (const QueueEntry* entry : head) {
            if (entry->duration < shortest) shortest = entry->duration;
        }
        if (shortest == kQueueEndMark) break;

        ScoreEvent event;
        event.duration = shortest;
        for (int v = 0; v < kVoices; ++v) {
            QueueEntry& entry = *head[v];
            if (options_.keepNotes) [[unlikely]] {
                if (entry.duration != kQueueEndMark && previous[v] != &entry) {
                    const auto token = static_cast<std::uint32_t>(sourceMap.tokens.size());
                    sourceMap.tokens.push_back(
                        {sourceMap.pointAt(entry.textOffset()), entry.textLength});
                    sourceMap.notes.push_back({bar, token, barTicks, entry.duration,
                                               static_cast<std::uint8_t>(v), entry.code,
                                               articulationMark(v, entry)});
                }
                previous[v] = &entry;
            }
            // An exhausted voice rests, with the level byte found under its
            // end mark.
            const std::uint8_t level = entry.level;
            std::uint8_t code = kRestCode;
            if (entry.duration != kQueueEndMark) {
                code = entry.code;
                warn_.mergeToken = entry.textOffset();
                entry.duration = static_cast<std::uint8_t>(entry.duration - shortest);
                if (entry.duration == 0) ++head[v];
            }
            const std::uint8_t note = resolvePitch(v, code);
            const std::uint8_t slot = slotMap[v];
            event.note[slot] = note;
            event.envelope[slot] = note == state.lastNote[v] ? 0 : level;
            state.lastNote[v] = note;
        }
        image.events.push_back(event);
        barTicks += shortest;
    }
    for (auto& queue : queues) queue.tail = 0;
    warn_.voiceFresh = true;
    if (image.events.size() != firstEvent) recordBar(firstEvent, barTicks, queued);
}

// A merge that produced events is a bar: it keeps where its notes are.
void ScoreCompiler::recordBar(std::size_t firstEvent, std::uint32_t ticks,
                              const std::array<std::size_t, kVoices>& queued) {
    BarSource source;
    source.firstEvent = firstEvent;
    source.eventCount = image.events.size() - firstEvent;
    source.ticks = ticks;
    source.slotMapIndex = state.slotMapIndex;
    source.transpose = state.transpose;
    source.stepOffset = state.voiceStepOffset;
    source.key = keyInForce_;
    // A repeat can make a bar of text that lies before text already read,
    // so every entry counts.
    std::size_t first = SIZE_MAX;
    std::size_t last = 0;
    for (int v = 0; v < kVoices; ++v) {
        for (std::size_t i = 0; i < queued[v]; ++i) {
            const QueueEntry& entry = queues[v].storage[i];
            const std::size_t begin = entry.textOffset();
            first = std::min(first, begin);
            last = std::max(last, begin + std::max<std::size_t>(entry.textLength, 1) - 1);
        }
    }
    source.text = {first, last};
    barLengthWarning(source, queued);
    sourceMap.bars.push_back(source);
}

namespace {

// Folding done once: a diatonic index from -16 to 56 brought into 0..41 by
// octaves (seven steps), with its scale step; a note sum from -32 to 95
// brought into 1..71 by octaves (twelve semitones).
constexpr int kIndexLow = -16;
constexpr int kNoteLow = -32;

struct FoldedIndex {
    std::uint8_t index;
    std::uint8_t step;
};

constexpr auto kFoldedIndex = [] {
    std::array<FoldedIndex, 73> table{};
    for (int sum = kIndexLow; sum < kIndexLow + 73; ++sum) {
        int index = sum;
        while (index < 0) index += 7;
        while (index > 41) index -= 7;
        table[sum - kIndexLow] = {static_cast<std::uint8_t>(index),
                                  static_cast<std::uint8_t>(index % 7)};
    }
    return table;
}();

constexpr auto kFoldedNote = [] {
    std::array<std::uint8_t, 128> table{};
    for (int sum = kNoteLow; sum < kNoteLow + 128; ++sum) {
        int note = sum;
        while (note <= 0) note += 12;
        while (note >= 72) note -= 12;
        table[sum - kNoteLow] = static_cast<std::uint8_t>(note);
    }
    return table;
}();

constexpr std::array<std::int8_t, 6> kClassAlteration{0, 0, 1, 2, -1, -2};

}  // namespace

std::uint8_t ScoreCompiler::resolvePitch(int voice, std::uint8_t code) {
    const NoteClass cls = noteClassOf(code);
    if (cls == NoteClass::rest) return 0;
    if (cls == NoteClass::noise) return static_cast<std::uint8_t>(kFirstNoiseNote + degreeOf(code));

    // Degrees -15..16 and offsets -15..15 keep the sum within the table.
    const int indexSum = signedDegree(code) + state.voiceStepOffset[voice] + kDegreeZeroIndex;
    const FoldedIndex folded = kFoldedIndex[indexSum - kIndexLow];

    const bool shared = (state.optionFlags & kOptionSeparateAccidentals) == 0;
    const bool watchShared = shared && watchSharedAccidentals_;
    const int row = shared ? 0 : voice;
    std::int8_t& alteration = state.accidentals[row][folded.step];
    if (cls != NoteClass::plain) {
        alteration = kClassAlteration[static_cast<int>(cls)];
        if (watchShared) {
            warn_.accidentalVoice[folded.step] = static_cast<std::uint8_t>(voice + 1);
            warn_.accidentalAt[folded.step] = warn_.mergeToken;
            warn_.ownAccidentals[voice][folded.step] = alteration;
        }
    } else if (watchShared && warn_.accidentalVoice[folded.step] != 0 &&
               warn_.accidentalVoice[folded.step] != voice + 1) [[unlikely]] {
        sharedAccidentalWarning(voice, folded.step, alteration);
    }

    // Scale notes 1..72, alterations -2..2 and transpositions -15..15.
    const int noteSum = kScaleTable[folded.index] + alteration + state.transpose;
    const std::uint8_t note = kFoldedNote[noteSum - kNoteLow];
    if (indexSum != folded.index || noteSum != note) [[unlikely]] {
        pitchFoldWarning(voice, indexSum, alteration, note);
    }
    return note;
}

}  // namespace quarvel
