// Note tokens: a sign, a degree character, up to two accidental marks and an
// optional articulation mark, packed into one note code and queued in the
// current voice's queue.
//
// Note code: bit 7 `down` (degree counts downward), bits 4-6 `noteClass`
// (0 plain, 1 natural, 2 sharp, 3 double sharp, 4 flat, 5 double flat,
// 6 noise, 7 rest), bits 0-3 `degree`.
#include "compiler/note_tokens.h"

#include "compiler/score_compiler.h"

namespace quarvel {

namespace {

int accidentalCount(std::uint8_t c) {
    switch (c) {
        case '#':
            return 1;
        case '%':
            return 0;
        case '&':
            return -1;
        default:
            return kNotAccidental;
    }
}

std::uint8_t classBitsForSum(int sum) {
    switch (sum) {
        case 2:
            return 0x30;
        case 1:
            return 0x20;
        case 0:
            return 0x10;
        case -1:
            return 0x40;
        default:
            return 0x50;
    }
}

}  // namespace

void ScoreCompiler::queueNote(std::uint8_t first) {
    // The token's first byte was just read.
    const std::size_t begin = reader.position() - 1;
    VoiceQueue& queue = queues[state.currentVoice];
    const std::size_t firstEntry = queue.tail;
    std::uint8_t code = kRestCode;
    if (first != '$') {
        std::uint8_t degreeChar = first;
        if (first == '-') {
            code = kDownBit;
            degreeChar = reader.nextChar();
        } else if (first == '+') {
            code = 0;
            degreeChar = reader.nextChar();
        } else {
            code = state.noteMode;
        }

        if (degreeChar == '0') {
            code |= kDownBit;  // keeps degree 0 apart from "G"
        } else if (degreeChar >= '1' && degreeChar <= '9') {
            code |= static_cast<std::uint8_t>(degreeChar - '0');
        } else if (degreeChar >= 'A' && degreeChar <= 'F') {
            code |= static_cast<std::uint8_t>(degreeChar - 'A' + 10);
        } else if (degreeChar == 'G' && code == 0) {
            // degree 16: stays 0 in the code
        } else {
            reader.fail(CompileErrorNumber::badCharacter,
                        "not a note: expected a step 0-9, A-G, a sign \"+\" \"-\", or a rest "
                        "\"$\"");
        }

        const int firstMark = accidentalCount(reader.nextChar());
        if (firstMark == kNotAccidental) {
            reader.unreadChar();
        } else {
            int sum = firstMark;
            const int secondMark = accidentalCount(reader.nextChar());
            if (secondMark == kNotAccidental) {
                reader.unreadChar();
            } else {
                sum += secondMark;
            }
            code |= classBitsForSum(sum);
        }
    }

    queue.push({state.currentDuration, state.envelopeLevel[state.currentVoice], code});
    noteWarnings(first, code, begin);

    switch (reader.nextChar()) {
        case '"':
            articulateByTicks(2);
            break;
        case '\'':
            articulateByTicks(1);
            break;
        case ',':
            articulateByShift(1);
            break;
        case ';':
            articulateByShift(2);
            break;
        default:
            reader.unreadChar();
    }
    // The entries of this token (a rest piece included) know its text.
    for (std::size_t i = firstEntry; i < queue.tail; ++i) {
        queue.storage[i].setText(begin, reader.position() - begin);
    }
}

// The quote marks cut the note short by one or two ticks; in noise mode they
// keep only a burst of that many ticks instead.
void ScoreCompiler::articulateByTicks(std::uint8_t ticks) {
    const std::uint8_t total = state.currentDuration;
    if (total <= ticks) return;
    VoiceQueue& queue = queues[state.currentVoice];
    const bool burst = state.noteMode == kNoteModeNoise;
    queue.at(queue.tail - 1).duration = burst ? ticks : static_cast<std::uint8_t>(total - ticks);
    queue.push({burst ? static_cast<std::uint8_t>(total - ticks) : ticks,
                state.envelopeLevel[state.currentVoice], kRestCode});
}

// "," keeps half the note and ";" three quarters; the note keeps the larger
// piece when the length is odd.
void ScoreCompiler::articulateByShift(std::uint8_t shift) {
    const std::uint8_t total = state.currentDuration;
    if (total < 2 * shift) return;
    VoiceQueue& queue = queues[state.currentVoice];
    const auto rest = static_cast<std::uint8_t>(total >> shift);
    queue.at(queue.tail - 1).duration = static_cast<std::uint8_t>(total - rest);
    queue.push({rest, state.envelopeLevel[state.currentVoice], kRestCode});
}

}  // namespace quarvel
