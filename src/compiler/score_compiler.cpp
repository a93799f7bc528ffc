#include "compiler/score_compiler.h"

namespace quarvel {

CompiledScore compileScore(const SourceText& text, Dialect dialect, const CompileOptions& options) {
    return ScoreCompiler(text, dialect, options).run();
}

ScoreCompiler::ScoreCompiler(const SourceText& text, Dialect dialect, const CompileOptions& options)
    : reader(text), options_(options) {
    reader.recordLinesInto(&sourceMap.lineStarts);
    state.quarvelDialect = dialect == Dialect::quarvel;
    settings.decayRate = dialect == Dialect::lutera ? 6 : 0;
}

CompiledScore ScoreCompiler::run() {
    resetImage();
    for (;;) {
        const std::uint8_t c = reader.nextChar();
        if (c == kEndOfText) break;
        dispatch(c);
    }
    closePart();
    return CompiledScore{std::move(image), settings.instruments, state.envelopeLevel,
                         std::move(sourceMap)};
}

void ScoreCompiler::dispatch(std::uint8_t c) {
    switch (c) {
        case '\t':
        case ' ':
            return;
        case '(':
            state.repeatStart = reader.position();
            state.repeatLine = reader.lineNumber();
            state.repeatLineStart = reader.lineStart();
            state.repeatCount = -1;
            return;
        case ')':
            return repeatEnd();
        case '*':
            state.noteMode = kNoteModePlain;
            return;
        case '@':
            state.noteMode = kNoteModeDown;
            return;
        case '_':
            state.noteMode = kNoteModeNoise;
            return;
        case '/':
            return comment();
        case '<':
            state.transpose = static_cast<std::int8_t>(-reader.readHexDigit());
            return;
        case '>':
            state.transpose = static_cast<std::int8_t>(reader.readHexDigit());
            return;
        case '=': {
            const std::uint8_t index = reader.readHexByte() / 2;
            if (index == 0) reader.fail(3, "tempo \"=00\" and \"=01\" are too slow; use 02 to FF");
            settings.tempoIndex = index;
            return;
        }
        case 'W':
            state.currentDuration = reader.readDuration(192);
            return;
        case 'H':
            state.currentDuration = reader.readDuration(96);
            return;
        case 'Q':
            state.currentDuration = reader.readDuration(48);
            return;
        case 'I':
            state.currentDuration = reader.readDuration(24);
            return;
        case 'S':
            state.currentDuration = reader.readDuration(12);
            return;
        case 'T':
            state.currentDuration = reader.readDuration(6);
            return;
        case 'X':
            state.currentDuration = reader.readDuration(3);
            return;
        case 'J':
            return instrumentDefinition();
        case 'K':
            return keySignature();
        case 'L': {
            const std::uint8_t preset = reader.readHexDigit();
            if (!state.quarvelDialect) {
                state.envelopeLevel[state.currentVoice] = kEnvelopePresets[preset];
            }
            return;
        }
        case 'M':
            return barLine();
        case 'N':
            return beatUnit();
        case 'O': {
            const std::uint8_t flags = reader.readHexDigit();
            state.optionFlags =
                flags == 0 ? 0 : static_cast<std::uint8_t>(state.optionFlags | flags);
            return;
        }
        case 'P':
            return partCommand();
        case 'R':
            return replayCommand();
        case 'U':
            return stepOffset();
        case 'V': {
            const auto voice = static_cast<std::uint8_t>(reader.readHexDigit() - 1);
            if (voice >= kVoices) reader.fail(3, "voice must be 1 to 5");
            state.currentVoice = voice;
            return;
        }
        case 'Y':
            settings.voiceInstrument[state.currentVoice] = reader.readInstrumentLetter();
            return;
        case 'Z': {
            const std::uint8_t row = reader.readHexDigit();
            if (row > 9) reader.fail(3, "slot map must be 0 to 9");
            state.slotMapIndex = row;
            return;
        }
        default:
            return queueNote(c);
    }
}

// ")" d: the first time after "(" the digit sets the number of further passes;
// each pass jumps back to just after the "(".
void ScoreCompiler::repeatEnd() {
    const std::uint8_t count = reader.readHexDigit();
    if (state.repeatCount == -1) state.repeatCount = count;
    if (state.repeatCount != 0) {
        --state.repeatCount;
        reader.seek(state.repeatStart, state.repeatLine, state.repeatLineStart);
    }
}

// "/" runs to the end of the line; the line end is left for the next read.
void ScoreCompiler::comment() {
    for (;;) {
        const std::uint8_t c = reader.peekChar();
        if (c == '\r' || c == '\n' || c == kEndOfText) return;
        reader.nextChar();
    }
}

// "J" l, then "R" or "S" with eight digits and a volume, or "T" with a decay rate.
void ScoreCompiler::instrumentDefinition() {
    const std::uint8_t letter = reader.readInstrumentLetter();
    const std::uint8_t kind = reader.nextChar();
    if (kind == 'R' || kind == 'S') {
        Instrument& instrument = settings.instruments[letter];
        instrument.kind = kind == 'S' ? 1 : 0;
        for (auto& digit : instrument.digits) digit = reader.readHexDigit();
        instrument.volume = reader.readHexDigit();
    } else if (kind == 'T') {
        const std::uint8_t rate = reader.readHexDigit();
        if (!state.quarvelDialect) settings.decayRate = rate;
    } else {
        reader.fail(3, "an instrument definition is \"R\", \"S\" or \"T\" after the letter");
    }
}

// "K" n, then "#" (sharps in the order F C G D A E B) or "&" (flats in the
// order B E A D G C F).
void ScoreCompiler::keySignature() {
    state.keySignature.fill(0);
    const int count = static_cast<int>(reader.nextChar()) - '0';
    if (count > 7) reader.fail(3, "a key signature has 0 to 7 sharps or flats");
    const std::uint8_t sign = reader.nextChar();
    static constexpr std::array<int, 7> sharpOrder{3, 0, 4, 1, 5, 2, 6};
    static constexpr std::array<int, 7> flatOrder{6, 2, 5, 1, 4, 0, 3};
    if (sign == '#') {
        for (int i = 0; i < count; ++i) ++state.keySignature[sharpOrder[i]];
    } else if (sign == '&') {
        for (int i = 0; i < count; ++i) --state.keySignature[flatOrder[i]];
    } else {
        reader.fail(3, "a key signature count is followed by \"#\" or \"&\"");
    }
}

// "M": merge the bar, refill the accidental memory from the key signature
// (unless option 2 asked to keep it once), and skip the rest of the word, so a
// bar number written after the "M" is ignored.
void ScoreCompiler::barLine() {
    mergeVoiceQueues();
    if ((state.optionFlags & kOptionKeepAccidentals) == 0) {
        for (auto& row : state.accidentals) row = state.keySignature;
    }
    state.optionFlags &= static_cast<std::uint8_t>(~kOptionKeepAccidentals);
    for (;;) {
        const std::uint8_t c = reader.peekChar();
        if (c == ' ' || c == '\r' || c == '\n' || c == kEndOfText) return;
        reader.nextChar();
    }
}

// "N" names the note value that lasts 96 slices.
void ScoreCompiler::beatUnit() {
    switch (reader.nextChar()) {
        case 'H':
            settings.beatUnit = 1;
            return;
        case 'Q':
            settings.beatUnit = 2;
            return;
        case 'I':
            settings.beatUnit = 4;
            return;
        case 'S':
            settings.beatUnit = 8;
            return;
        case 'T':
            settings.beatUnit = 16;
            return;
        default:
            reader.fail(3, "a beat unit is one of H, Q, I, S, T");
    }
}

// "U" with an optional sign; no sign means minus.
void ScoreCompiler::stepOffset() {
    const std::uint8_t sign = reader.nextChar();
    if (sign != '+' && sign != '-') reader.unreadChar();
    const int steps = reader.readHexDigit();
    state.voiceStepOffset[state.currentVoice] =
        static_cast<std::int8_t>(sign == '+' ? steps : -steps);
}

}  // namespace quarvel
