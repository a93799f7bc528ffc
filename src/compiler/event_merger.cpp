// The merger lays the five voice queues side by side and cuts the bar into
// score events: spans in which no voice starts or ends a note. Each voice's
// note code is resolved into a note number with the transposition, step
// offsets, slot map and accidental memory in force at the merge.
#include "compiler/note_tokens.h"
#include "compiler/score_compiler.h"

namespace quarvel {

void ScoreCompiler::mergeVoiceQueues() {
    state.currentVoice = 0;
    for (auto& queue : queues) {
        queue.at(queue.tail).duration = kQueueEndMark;
        queue.tail = 0;
    }
    const auto& slotMap = kSlotMaps[state.slotMapIndex];
    for (;;) {
        std::uint8_t shortest = kQueueEndMark;
        for (auto& queue : queues) {
            const std::uint8_t d = queue.storage[queue.tail].duration;
            if (d < shortest) shortest = d;
        }
        if (shortest == kQueueEndMark) break;

        ScoreEvent event;
        event.duration = shortest;
        for (int v = 0; v < kVoices; ++v) {
            QueueEntry& head = queues[v].storage[queues[v].tail];
            // An exhausted voice rests, with the level byte found under its
            // end mark.
            const std::uint8_t level = head.level;
            std::uint8_t code = kRestCode;
            if (head.duration != kQueueEndMark) {
                code = head.code;
                head.duration = static_cast<std::uint8_t>(head.duration - shortest);
                if (head.duration == 0) ++queues[v].tail;
            }
            const std::uint8_t note = resolvePitch(v, code);
            const std::uint8_t slot = slotMap[v];
            event.note[slot] = note;
            event.envelope[slot] = note == state.lastNote[v] ? 0 : level;
            state.lastNote[v] = note;
        }
        image.events.push_back(event);
    }
    for (auto& queue : queues) queue.tail = 0;
}

std::uint8_t ScoreCompiler::resolvePitch(int voice, std::uint8_t code) {
    const std::uint8_t cls = noteClassOf(code);
    if (cls == NoteClass::rest) return 0;
    if (cls == NoteClass::noise) return static_cast<std::uint8_t>(73 + degreeOf(code));

    int index = signedDegree(code) + state.voiceStepOffset[voice] + 21;
    while (index < 0) index += 7;
    while (index > 41) index -= 7;

    const int row = (state.optionFlags & kOptionSeparateAccidentals) ? voice : 0;
    std::int8_t& alteration = state.accidentals[row][index % 7];
    static constexpr std::array<std::int8_t, 6> classAlteration{0, 0, 1, 2, -1, -2};
    if (cls != NoteClass::plain) alteration = classAlteration[cls];

    int note = kScaleTable[index] + alteration + state.transpose;
    while (note <= 0) note += 12;
    while (note >= 72) note -= 12;
    return static_cast<std::uint8_t>(note);
}

}  // namespace quarvel
