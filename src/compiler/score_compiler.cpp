#include "compiler/score_compiler.h"

namespace quarvel {

CompiledScore compileScore(const SourceText& text, Dialect dialect, const CompileOptions& options) {
    return ScoreCompiler(text, dialect, options).run();
}

ScoreCompiler::ScoreCompiler(const SourceText& text, Dialect dialect, const CompileOptions& options)
    : reader(text), options_(options) {
    reader.recordLinesInto(&sourceMap.lineStarts);
    watchSharedAccidentals_ =
        options.warnings.test(static_cast<std::size_t>(WarningKind::sharedAccidental));
    state.quarvelDialect = dialect == Dialect::quarvel;
    settings.decayRate = dialect == Dialect::lutera ? 6 : 0;
}

CompiledScore ScoreCompiler::run() {
    try {
        resetImage();
        for (;;) {
            const std::uint8_t c = reader.nextChar();
            if (c == kEndOfText) break;
            dispatch(c);
        }
        warn_.mergeAt = {};
        closePart();
        endOfTextWarnings();
    } catch (CompileError& error) {
        error.warnings = std::move(warn_.list);
        throw;
    }
    return CompiledScore{std::move(image),     settings.instruments,  state.envelopeLevel,
                         std::move(sourceMap), std::move(warn_.list), warn_.cut};
}

void ScoreCompiler::dispatch(std::uint8_t c) {
    switch (c) {
        case '\t':
        case ' ':
            return;
        case '(':
            repeatOpenCommand();
            state.repeatStart = reader.position();
            state.repeatLine = reader.lineNumber();
            state.repeatLineStart = reader.lineStart();
            state.repeatCount = -1;
            repeatFirstBar_ = sourceMap.bars.size();
            repeatOpenedOnBar_ = queuesEmpty();
            return;
        case ')':
            return repeatEnd();
        case '*':
            state.noteMode = kNoteModePlain;
            return noteModeCommand(c);
        case '@':
            state.noteMode = kNoteModeDown;
            return noteModeCommand(c);
        case '_':
            state.noteMode = kNoteModeNoise;
            return noteModeCommand(c);
        case '/':
            return comment();
        case '<':
            state.transpose = static_cast<std::int8_t>(-reader.readHexDigit(
                "the transposition `<` takes one hexadecimal digit, the semitones down"));
            return;
        case '>':
            state.transpose = static_cast<std::int8_t>(reader.readHexDigit(
                "the transposition `>` takes one hexadecimal digit, the semitones up"));
            return;
        case '=': {
            const TextPoint at = commandPoint();
            const std::uint8_t index =
                reader.readHexByte("the tempo `=` takes two hexadecimal digits, 02 to FF") / 2;
            if (index == 0) {
                reader.fail(CompileErrorNumber::outOfRange,
                            "the tempo `=` takes 02 to FF; `=00` and `=01` are out of range");
            }
            partSettingChanged("the tempo `=`", at, settings.tempoIndex, index);
            settings.tempoIndex = index;
            return;
        }
        case 'W':
            return durationLetter(192);
        case 'H':
            return durationLetter(96);
        case 'Q':
            return durationLetter(48);
        case 'I':
            return durationLetter(24);
        case 'S':
            return durationLetter(12);
        case 'T':
            return durationLetter(6);
        case 'X':
            return durationLetter(3);
        case 'J':
            return instrumentDefinition();
        case 'K':
            return keySignature();
        case 'L': {
            const std::uint8_t preset =
                reader.readHexDigit("the loudness `L` takes one hexadecimal digit");
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
            const std::uint8_t flags =
                reader.readHexDigit("the option `O` takes one hexadecimal digit");
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
            constexpr std::string_view wanted = "`V` takes a voice 1 to 5";
            const std::uint8_t digit = reader.readHexDigit(wanted);
            const auto voice = static_cast<std::uint8_t>(digit - 1);
            if (voice >= kVoices) {
                reader.fail(CompileErrorNumber::outOfRange,
                            std::string(wanted) + "; found `" +
                                static_cast<char>("0123456789ABCDEF"[digit]) + "`");
            }
            state.currentVoice = voice;
            warn_.voiceFresh = true;
            return;
        }
        case 'Y': {
            const TextPoint at = commandPoint();
            const std::uint8_t before = settings.voiceInstrument[state.currentVoice];
            settings.voiceInstrument[state.currentVoice] =
                reader.readInstrumentLetter("the instrument choice `Y` takes a letter A to E");
            return instrumentChoiceChanged(at, before);
        }
        case 'Z': {
            constexpr std::string_view wanted = "the slot map `Z` takes a digit 0 to 9";
            const std::uint8_t row = reader.readHexDigit(wanted);
            if (row > 9) {
                reader.fail(CompileErrorNumber::outOfRange,
                            std::string(wanted) + "; found " +
                                SourceReader::describe(static_cast<std::uint8_t>('A' + row - 10)));
            }
            state.slotMapIndex = row;
            return;
        }
        default:
            return queueNote(c);
    }
}

// ")" d: the first time after "(" the digit sets the number of further passes;
// each pass jumps back to just after the "(".
bool ScoreCompiler::queuesEmpty() const {
    for (const VoiceQueue& queue : queues) {
        if (queue.tail != 0) return false;
    }
    return true;
}

void ScoreCompiler::repeatEnd() {
    const TextPoint at = commandPoint();
    const std::uint8_t count = reader.readHexDigit(
        "the repeat end `)` takes one hexadecimal digit, the number of further passes");
    repeatEndWarning(at);
    if (state.repeatCount == -1) {
        state.repeatCount = count;
        sourceMap.repeats.push_back({repeatFirstBar_, sourceMap.bars.size() - repeatFirstBar_,
                                     static_cast<std::uint32_t>(count) + 1u,
                                     repeatOpenedOnBar_ && queuesEmpty()});
    }
    if (state.repeatCount != 0) {
        --state.repeatCount;
        reader.seek(state.repeatStart, state.repeatLine, state.repeatLineStart);
    } else {
        warn_.repeatAt.reset();
    }
}

// A duration letter and its suffix set the length of the notes that follow.
void ScoreCompiler::durationLetter(std::uint8_t base) {
    warn_.durationAt = commandPoint();
    state.currentDuration = reader.readDuration(base);
    warn_.durationVoice = state.currentVoice;
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
    const TextPoint at = commandPoint();
    const std::uint8_t letter =
        reader.readInstrumentLetter("the instrument definition `J` takes a letter A to E");
    const std::uint8_t kind = reader.nextChar();
    if (kind == 'R' || kind == 'S') {
        Instrument& instrument = settings.instruments[letter];
        const Instrument before = instrument;
        instrument.kind = kind == 'S' ? 1 : 0;
        const std::string wanted = std::string("the instrument definition `J") +
                                   static_cast<char>('A' + letter) + static_cast<char>(kind) +
                                   "` takes nine hexadecimal digits, eight and a volume";
        for (auto& digit : instrument.digits) digit = reader.readHexDigit(wanted);
        instrument.volume = reader.readHexDigit(wanted);
        instrumentDefined(letter, before, at);
    } else if (kind == 'T') {
        const std::uint8_t rate =
            reader.readHexDigit("the decay rate `JxT` takes one hexadecimal digit");
        if (!state.quarvelDialect) {
            partSettingChanged("the decay rate `JxT`", at, settings.decayRate, rate);
            settings.decayRate = rate;
        }
    } else {
        reader.fail(CompileErrorNumber::outOfRange,
                    "the instrument definition `J` takes R, S or T after the letter; found " +
                        SourceReader::describe(kind));
    }
}

// "K" n, then "#" (sharps in the order F C G D A E B) or "&" (flats in the
// order B E A D G C F).
void ScoreCompiler::keySignature() {
    const TextPoint at = commandPoint();
    const auto before = state.keySignature;
    state.keySignature.fill(0);
    const int count = static_cast<int>(reader.nextChar()) - '0';
    if (count > 7)
        reader.fail(CompileErrorNumber::outOfRange, "a key signature has 0 to 7 sharps or flats");
    const std::uint8_t sign = reader.nextChar();
    static constexpr std::array<int, 7> sharpOrder{3, 0, 4, 1, 5, 2, 6};
    static constexpr std::array<int, 7> flatOrder{6, 2, 5, 1, 4, 0, 3};
    if (sign == '#') {
        for (int i = 0; i < count; ++i) ++state.keySignature[sharpOrder[i]];
    } else if (sign == '&') {
        for (int i = 0; i < count; ++i) --state.keySignature[flatOrder[i]];
    } else {
        reader.fail(CompileErrorNumber::outOfRange,
                    "the key signature `K` takes `#` or `&` after its count; found " +
                        SourceReader::describe(sign));
    }
    keyChanged(at, before);
}

// "M": merge the bar, refill the accidental memory from the key signature
// (unless option 2 asked to keep it once), and skip the rest of the word, so a
// bar number written after the "M" is ignored.
void ScoreCompiler::barLine() {
    warn_.mergeAt = commandPoint();
    mergeVoiceQueues();
    if ((state.optionFlags & kOptionKeepAccidentals) == 0) {
        for (auto& row : state.accidentals) row = state.keySignature;
        keyInForce_ = state.keySignature;
        warn_.accidentalVoice.fill(0);
        warn_.ownAccidentals.fill(state.keySignature);
        warn_.keyAt.reset();
    }
    state.optionFlags &= static_cast<std::uint8_t>(~kOptionKeepAccidentals);
    const std::size_t skipFrom = reader.position();
    for (;;) {
        const std::uint8_t c = reader.peekChar();
        if (c == ' ' || c == '\r' || c == '\n' || c == kEndOfText) break;
        reader.nextChar();
    }
    if (reader.position() != skipFrom) {
        barLineSkipped({skipFrom, reader.lineNumber(),
                        static_cast<std::int64_t>(skipFrom - reader.lineStart()) + 1},
                       reader.position() - skipFrom);
    }
}

// "N" names the note value that lasts 96 slices.
void ScoreCompiler::beatUnit() {
    const TextPoint at = commandPoint();
    std::uint8_t unit = 0;
    const std::uint8_t c = reader.nextChar();
    switch (c) {
        case 'H':
            unit = 1;
            break;
        case 'Q':
            unit = 2;
            break;
        case 'I':
            unit = 4;
            break;
        case 'S':
            unit = 8;
            break;
        case 'T':
            unit = 16;
            break;
        default:
            reader.fail(
                CompileErrorNumber::outOfRange,
                "the beat unit `N` takes one of H, Q, I, S, T; found " + SourceReader::describe(c));
    }
    partSettingChanged("the beat unit `N`", at, settings.beatUnit, unit);
    settings.beatUnit = unit;
}

// "U" with an optional sign; no sign means minus.
void ScoreCompiler::stepOffset() {
    const std::uint8_t sign = reader.nextChar();
    if (sign != '+' && sign != '-') reader.unreadChar();
    const int steps =
        reader.readHexDigit("the step offset `U` takes an optional sign and one hexadecimal digit");
    state.voiceStepOffset[state.currentVoice] =
        static_cast<std::int8_t>(sign == '+' ? steps : -steps);
}

}  // namespace quarvel
