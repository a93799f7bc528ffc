// The checks behind every warning. The compiler calls them where a trap can
// show; none of them changes what is compiled.
#include "compiler/warnings.h"

#include <algorithm>

#include "compiler/note_tokens.h"
#include "compiler/score_compiler.h"

namespace quarvel {

namespace {

// clang-format off
constexpr std::array<WarningInfo, kWarningKinds> kCatalogue{{
    {WarningKind::barLength, "bar-length", true,
     "the voices of a bar differ in length"},
    {WarningKind::sharedNoteMode, "shared-note-mode", true,
     "a voice's steps are read in a note mode set for another voice"},
    {WarningKind::sharedDuration, "shared-duration", false,
     "a voice's first note after V takes a duration letter set for another voice"},
    {WarningKind::sharedAccidental, "shared-accidental", true,
     "an accidental of one voice alters a note of another voice in the bar"},
    {WarningKind::keyBeforeBar, "key-before-bar", true,
     "notes between a K and the next bar line do not use the new key"},
    {WarningKind::notesAfterReplay, "notes-after-replay", true,
     "notes between an R and the next part are never heard"},
    {WarningKind::repeat, "repeat", true,
     "a ( never closed, a ( that replaces an open one, or a ) without ("},
    {WarningKind::pitchFold, "pitch-fold", true,
     "a note outside the range sounds an octave off"},
    {WarningKind::redefinition, "redefinition", true,
     "an instrument defined again, or a part setting changed after the part's first notes"},
    {WarningKind::noDuration, "no-duration", true,
     "notes before any duration letter last one tick"},
    {WarningKind::gluedBarLine, "glued-bar-line", true,
     "text glued to a bar line M is skipped, and it is not a bar number"},
    {WarningKind::startPart, "start-part", true,
     "the start part (-g) is a number that no part has: nothing plays"},
    {WarningKind::repeatedNote, "repeated-note", true,
     "two equal notes in a row in one voice sound as one note"},
    {WarningKind::tieAcrossBar, "tie-across-bar", false,
     "a note equal to the one that ends the voice's bar before goes on from it, unstruck"},
    {WarningKind::gluedArgument, "glued-argument", true,
     "a step glued to the two digits of a tempo `=` is a note of its own"},
    {WarningKind::endOfTextByte, "end-of-text-byte", true,
     "a byte 0xFF ends the score text: nothing after it is read"},
}};
// clang-format on

// Row i is kind i, and no row is left empty: the help text, the completion,
// the manual and the guide are checked against this table.
constexpr bool catalogueComplete() {
    for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
        if (static_cast<std::size_t>(kCatalogue[i].kind) != i || kCatalogue[i].name.empty() ||
            kCatalogue[i].summary.empty()) {
            return false;
        }
    }
    return true;
}
static_assert(catalogueComplete(), "the warning catalogue must list every WarningKind in order");

constexpr std::array<const char*, 12> kNoteNames{"C",  "C#", "D",  "D#", "E",  "F",
                                                 "F#", "G",  "G#", "A",  "A#", "B"};
constexpr std::array<const char*, kScaleSteps> kStepNames{"C", "D", "E", "F", "G", "A", "B"};

std::string hexByte(int value) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[(value >> 4) & 15], digits[value & 15]};
}

std::string at(const TextPoint& point) {
    return "line " + std::to_string(point.line) + ":" + std::to_string(point.column);
}

std::string voiceName(int voice) {
    return "voice " + std::to_string(voice + 1);
}

std::string alterationName(int alteration) {
    switch (alteration) {
        case 2:
            return "double sharp";
        case 1:
            return "sharp";
        case -1:
            return "flat";
        case -2:
            return "double flat";
        default:
            return "natural";
    }
}

// What the text holds, printable: other bytes show as "?".
std::string shown(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        out.push_back(c >= 0x20 && c < 0x7F ? ch : '?');
    }
    return out;
}

int floorDiv(int a, int b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

const std::array<WarningInfo, kWarningKinds>& warningCatalogue() {
    return kCatalogue;
}

const WarningInfo& warningInfo(WarningKind kind) {
    return kCatalogue[static_cast<std::size_t>(kind)];
}

std::optional<WarningKind> warningNamed(std::string_view name) {
    for (const auto& info : kCatalogue) {
        if (info.name == name) return info.kind;
    }
    return std::nullopt;
}

WarningSet defaultWarnings() {
    WarningSet set;
    for (const auto& info : kCatalogue) set[static_cast<std::size_t>(info.kind)] = info.onByDefault;
    return set;
}

std::optional<std::string> applyWarningSwitch(WarningSet& set, std::string_view names, bool on) {
    WarningSet changed = set;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = names.find(',', from);
        const std::string_view name = names.substr(
            from, comma == std::string_view::npos ? std::string_view::npos : comma - from);
        if (name == "all") {
            on ? changed.set() : changed.reset();
        } else if (const auto kind = warningNamed(name)) {
            changed[static_cast<std::size_t>(*kind)] = on;
        } else {
            return std::string(name);
        }
        if (comma == std::string_view::npos) break;
        from = comma + 1;
    }
    set = changed;
    return std::nullopt;
}

std::string describeTicks(std::uint32_t ticks) {
    struct Named {
        std::uint32_t ticks;
        const char* name;
    };
    static constexpr Named named[] = {{192, "a whole note"},
                                      {96, "a half note"},
                                      {48, "a quarter note"},
                                      {24, "an eighth note"},
                                      {12, "a sixteenth note"},
                                      {6, "a 32nd note"},
                                      {3, "a 64th note"},
                                      {144, "a dotted half note"},
                                      {72, "a dotted quarter note"},
                                      {36, "a dotted eighth note"},
                                      {18, "a dotted sixteenth"},
                                      {128, "a triplet whole note"},
                                      {64, "a triplet half note"},
                                      {32, "a triplet quarter note"},
                                      {16, "a triplet eighth note"},
                                      {8, "a triplet sixteenth"}};
    std::string text = std::to_string(ticks) + (ticks == 1 ? " tick" : " ticks");
    for (const auto& n : named) {
        if (n.ticks == ticks) return text + " (" + n.name + ")";
    }
    if (ticks % 48 == 0) return text + " (" + std::to_string(ticks / 48) + " quarter notes)";
    if (ticks % 24 == 0) return text + " (" + std::to_string(ticks / 24) + " eighth notes)";
    return text;
}

std::string noteName(int note) {
    const int octave = floorDiv(note - 1, 12) + 1;
    const int pitchClass = note - 1 - 12 * floorDiv(note - 1, 12);
    return kNoteNames[pitchClass] + std::to_string(octave);
}

std::optional<Warning> startPartWarning(const CompiledScore& score, int startPart) {
    if (startPart == 0) return std::nullopt;
    std::string numbers;
    std::array<bool, 256> listed{};
    for (const auto& part : score.image.parts) {
        if (part.number == startPart) return std::nullopt;
        if (part.number != 0 && !listed[part.number]) {
            listed[part.number] = true;
            numbers += (numbers.empty() ? "" : ", ") + hexByte(part.number);
        }
    }
    const WarningInfo& info = warningInfo(WarningKind::startPart);
    return Warning{WarningKind::startPart, std::string(info.name), TextPoint{}, 0,
                   "no part is numbered " + hexByte(startPart) + " (-g" + hexByte(startPart) +
                       "), so nothing will play; " +
                       (numbers.empty() ? std::string("this score has no numbered parts (`P01`)")
                                        : "the numbered parts are " + numbers)};
}

// --- The compiler's side -----------------------------------------------------

TextPoint ScoreCompiler::commandPoint() const {
    return reader.lastRead();
}

TextPoint ScoreCompiler::tokenPoint(std::size_t offset) const {
    return sourceMap.pointAt(offset);
}

bool ScoreCompiler::warningWanted(WarningKind kind, std::size_t offset) {
    const auto k = static_cast<std::size_t>(kind);
    if (warn_.cut[k]) return false;  // full: no need to look further
    const std::uint64_t key = (static_cast<std::uint64_t>(k) << 56) ^ offset;
    if (warn_.seen.count(key) != 0) return false;
    if (warn_.kept[k] >= kWarningsKept) {
        warn_.cut[k] = true;
        return false;
    }
    return true;
}

void ScoreCompiler::addWarning(WarningKind kind, TextPoint where, std::int64_t endColumn,
                               std::string message) {
    const auto k = static_cast<std::size_t>(kind);
    warn_.seen.insert((static_cast<std::uint64_t>(k) << 56) ^ where.offset);
    ++warn_.kept[k];
    warn_.list.push_back(Warning{kind, std::string(warningInfo(kind).name), where,
                                 endColumn > where.column ? endColumn : 0, std::move(message)});
}

void ScoreCompiler::noteWarnings(std::uint8_t first, std::uint8_t code, std::size_t token) {
    ++notesQueued_;
    const int v = state.currentVoice;
    const std::uint8_t duration = state.currentDuration;
    warn_.voiceTicks[v] += duration;
    warn_.voiceSoundedInPart[v] = true;

    if (warn_.durationVoice < 0) [[unlikely]] {
        if (!warn_.noDurationWarned) {
            warn_.noDurationWarned = true;
            const TextPoint here = tokenPoint(token);
            if (warningWanted(WarningKind::noDuration, here.offset)) {
                addWarning(WarningKind::noDuration, here, 0,
                           "this note comes before any duration letter, so it lasts 1 tick (a "
                           "192nd of a whole note); write a duration letter before it, such as "
                           "`Q` for quarter notes");
            }
        }
    } else if (warn_.voiceFresh && warn_.durationVoice != v && warn_.voiceDuration[v] != 0 &&
               warn_.voiceDuration[v] != duration) [[unlikely]] {
        const TextPoint here = tokenPoint(token);
        if (warningWanted(WarningKind::sharedDuration, here.offset)) {
            addWarning(
                WarningKind::sharedDuration, here, 0,
                "this first note of " + voiceName(v) + " after " +
                    (v == 0 ? std::string("the bar line") : "`V" + std::to_string(v + 1) + "`") +
                    " takes the length set for " + voiceName(warn_.durationVoice) + " at " +
                    at(warn_.durationAt) + ", " + describeTicks(duration) + ", not the " +
                    describeTicks(warn_.voiceDuration[v]) +
                    " of its notes before: a "
                    "duration letter holds for every voice until the next one; write the "
                    "voice's own letter before this note");
        }
    }
    warn_.voiceDuration[v] = duration;
    warn_.voiceFresh = false;

    // A plain "0" reads the same upward and downward.
    const bool modeMatters =
        first != '+' && first != '-' && first != '$' &&
        (first != '0' || state.noteMode == kNoteModeNoise || warn_.ownMode[v] == kNoteModeNoise);
    if (modeMatters) {
        const std::uint8_t mode = state.noteMode;
        std::uint8_t& own = warn_.ownMode[v];
        if (own == 0xFF) own = mode;  // the voice's first step: its own from here on
        if (mode == own) {
            warn_.reportedMode[v] = 0xFF;
        } else if (warn_.noteModeVoice != v && warn_.reportedMode[v] != mode) [[unlikely]] {
            // Another voice's "*", "@" or "_" is in force: said once, until the
            // voice reads in its own mode again.
            warn_.reportedMode[v] = mode;
            const TextPoint here = tokenPoint(token);
            if (warningWanted(WarningKind::sharedNoteMode, here.offset)) {
                const char* meaning = mode == kNoteModeDown    ? " (steps count downward)"
                                      : mode == kNoteModeNoise ? " (noise)"
                                                               : " (steps count upward)";
                const char* back = own == kNoteModeDown ? "@" : own == kNoteModeNoise ? "_" : "*";
                addWarning(WarningKind::sharedNoteMode, here, 0,
                           voiceName(v) + "'s steps are read in the `" +
                               static_cast<char>(warn_.noteModeChar) + "` note mode" + meaning +
                               ", set for " + voiceName(warn_.noteModeVoice) + " at " +
                               at(warn_.noteModeAt) +
                               ": a note mode holds for every voice, across `V` and bar lines; "
                               "write `" +
                               back + "` before this note to read it in " + voiceName(v) +
                               "'s own mode");
            }
        }
    }

    const NoteClass cls = noteClassOf(code);
    if (warn_.keyAt && cls != NoteClass::noise && cls != NoteClass::rest) [[unlikely]] {
        const TextPoint key = *warn_.keyAt;
        warn_.keyAt.reset();
        if (warningWanted(WarningKind::keyBeforeBar, key.offset)) {
            addWarning(WarningKind::keyBeforeBar, key, key.column + 2,
                       "this key signature takes effect at the next bar line `M`: the notes "
                       "between here and there keep the accidentals in force before it; write "
                       "the `K` just before a bar line (at the start of a score: `K1# M`)");
        }
    }
    if (warn_.replayAt) [[unlikely]] {
        const TextPoint replay = *warn_.replayAt;
        warn_.replayAt.reset();
        const TextPoint here = tokenPoint(token);
        if (warningWanted(WarningKind::notesAfterReplay, here.offset)) {
            addWarning(WarningKind::notesAfterReplay, here, 0,
                       "this note is never heard: the `R` at " + at(replay) +
                           " made this part a replay, and the notes written before the next "
                           "`P` are not played; put a `P` before them to start a part of "
                           "their own");
        }
    }
}

void ScoreCompiler::noteModeCommand(std::uint8_t c) {
    warn_.noteModeVoice = state.currentVoice;
    warn_.noteModeAt = commandPoint();
    warn_.noteModeChar = c;
    if (notesQueued_ == 0 && !warn_.voiceChosen) {
        warn_.ownMode.fill(state.noteMode);  // at the top, before any V: every voice's
    } else {
        warn_.ownMode[state.currentVoice] = state.noteMode;
    }
    warn_.reportedMode[state.currentVoice] = 0xFF;
}

void ScoreCompiler::repeatOpenCommand() {
    const TextPoint here = commandPoint();
    if (warn_.repeatAt && warn_.repeatAt->offset != here.offset &&
        warningWanted(WarningKind::repeat, here.offset)) {
        addWarning(WarningKind::repeat, here, 0,
                   "repeats do not nest: this `(` replaces the open one at " + at(*warn_.repeatAt) +
                       ", whose text up to here is played once; close the first repeat with "
                       "`)` and a digit before opening another");
    }
    warn_.repeatAt = here;
}

void ScoreCompiler::repeatEndWarning(TextPoint here) {
    if (!warn_.repeatAt && warningWanted(WarningKind::repeat, here.offset)) {
        addWarning(WarningKind::repeat, here, here.column + 1,
                   "this `)` has no `(` before it: it reads its digit and repeats nothing; put "
                   "a `(` where the repeated text starts (and a blank between a bar line `M` "
                   "and the `)`)");
    }
}

void ScoreCompiler::endOfTextWarnings() {
    if (watchJoins_) {
        for (int v = 0; v < kVoices; ++v) {
            if (warn_.pendingJoins & (1u << v)) finishJoins(v, warn_.ticksBefore);
        }
    }
    if (reader.stoppedEarly() && wants(WarningKind::endOfTextByte)) {
        // The loop ended on a byte 0xFF of the file's own text.
        const TextPoint here = tokenPoint(reader.position() - 1);
        if (warningWanted(WarningKind::endOfTextByte, here.offset)) {
            const std::size_t unread = reader.unreadBytes();
            addWarning(WarningKind::endOfTextByte, here, 0,
                       "a byte 0xFF (in Latin-1 a `y` with two dots) ends the score text here: "
                       "the " +
                           std::to_string(unread) + " byte" + (unread == 1 ? "" : "s") +
                           " after it are neither played nor checked; remove the byte (save the "
                           "file as UTF-8, or write the comment in plain ASCII)");
        }
    }
    if (warn_.repeatAt && warningWanted(WarningKind::repeat, warn_.repeatAt->offset)) {
        addWarning(WarningKind::repeat, *warn_.repeatAt, 0,
                   "this `(` is never closed, so nothing is repeated; close it with `)` and the "
                   "number of further passes (`)1` plays the text twice)");
    }
}

void ScoreCompiler::partSettingChanged(const char* command, TextPoint here, int before, int after) {
    if (before == after || notesQueued_ == warn_.partFirstToken) return;
    if (!warningWanted(WarningKind::redefinition, here.offset)) return;
    addWarning(WarningKind::redefinition, here, 0,
               std::string(command) +
                   " changes inside a part that already has notes: a part plays with the value "
                   "in force when it ends, so the new value applies to the whole part, the "
                   "notes before it too; start a new part with `P` here to change it from "
                   "this point on");
}

void ScoreCompiler::instrumentChoiceChanged(TextPoint here, std::uint8_t before) {
    const int v = state.currentVoice;
    if (before == settings.voiceInstrument[v] || !warn_.voiceSoundedInPart[v]) return;
    if (!warningWanted(WarningKind::redefinition, here.offset)) return;
    addWarning(WarningKind::redefinition, here, here.column + 1,
               voiceName(v) +
                   "'s instrument changes inside a part in which it already has "
                   "notes: a part uses the instruments chosen when it ends, so `Y" +
                   static_cast<char>('A' + settings.voiceInstrument[v]) +
                   "` sounds for the whole part; start a new part with `P` here to change it "
                   "from this point on");
}

void ScoreCompiler::instrumentDefined(std::uint8_t letter, const Instrument& before,
                                      TextPoint here) {
    auto& previous = warn_.instrumentAt[letter];
    if (previous && previous->offset != here.offset &&
        notesQueued_ > warn_.instrumentTokens[letter] &&
        !(before == settings.instruments[letter]) &&
        warningWanted(WarningKind::redefinition, here.offset)) {
        const char name = static_cast<char>('A' + letter);
        addWarning(WarningKind::redefinition, here, here.column + 2,
                   std::string("instrument ") + name + " is defined again after notes (first at " +
                       at(*previous) +
                       "): only the last definition of a letter counts, and it sounds "
                       "everywhere, in the earlier bars too; to change the sound part-way, "
                       "define another letter and choose it with `Y`");
    }
    previous = here;
    warn_.instrumentTokens[letter] = notesQueued_;
}

void ScoreCompiler::keyChanged(TextPoint here, const std::array<std::int8_t, kScaleSteps>& before) {
    if (before != state.keySignature) warn_.keyAt = here;
}

void ScoreCompiler::barLineSkipped(TextPoint first, std::size_t length) {
    const std::string_view skipped = reader.slice(first.offset, length);
    if (std::all_of(skipped.begin(), skipped.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return;
    if (!warningWanted(WarningKind::gluedBarLine, first.offset)) return;
    const std::string text = shown(skipped);
    addWarning(WarningKind::gluedBarLine, first,
               first.column + static_cast<std::int64_t>(length) - 1,
               "the bar line `M` skips `" + text +
                   "`: whatever is written right after `M`, up to the next blank, is taken for "
                   "a bar number and ignored; put a blank after `M` so that `" +
                   text + "` is read");
}

void ScoreCompiler::barLengthWarning(const BarSource& bar,
                                     const std::array<std::size_t, kVoices>& queued) {
    std::uint32_t longest = 0;
    std::uint32_t shortest = UINT32_MAX;
    for (int v = 0; v < kVoices; ++v) {
        if (queued[v] == 0) continue;
        longest = std::max(longest, warn_.voiceTicks[v]);
        shortest = std::min(shortest, warn_.voiceTicks[v]);
    }
    const auto ticks = warn_.voiceTicks;
    warn_.voiceTicks.fill(0);
    if (longest == shortest) [[likely]]
        return;
    const bool atCommand = warn_.mergeAt.line != 0;
    const TextPoint here = atCommand ? warn_.mergeAt : sourceMap.pointAt(bar.text.first);
    if (!warningWanted(WarningKind::barLength, here.offset)) return;
    std::string lengths;
    std::string shorter;
    for (int v = 0; v < kVoices; ++v) {
        if (queued[v] == 0) continue;
        lengths += (lengths.empty() ? "" : ", ") + voiceName(v) + " has " + describeTicks(ticks[v]);
        if (ticks[v] != longest) shorter += (shorter.empty() ? "" : ", ") + voiceName(v);
    }
    addWarning(WarningKind::barLength, here, 0,
               "the voices of this bar differ in length: " + lengths + "; the bar lasts " +
                   std::to_string(longest) +
                   " ticks, and a shorter voice falls silent for the rest of it; check the "
                   "duration letters of " +
                   shorter + ", or fill the bar with rests (`$`)");
}

void ScoreCompiler::pitchFoldWarning(int voice, int indexSum, int alteration, std::uint8_t note) {
    constexpr std::array<int, kScaleSteps> steps{1, 3, 5, 6, 8, 10, 12};
    const int written = 12 * floorDiv(indexSum, 7) + steps[indexSum - 7 * floorDiv(indexSum, 7)] +
                        alteration + state.transpose;
    if (written == note) return;  // folded twice back onto itself: nothing to say
    const TextPoint here = tokenPoint(warn_.mergeToken);
    if (!warningWanted(WarningKind::pitchFold, here.offset)) return;
    const int octaves = (written - note) / 12;
    const int count = octaves < 0 ? -octaves : octaves;
    const std::string amount = count == 1 ? "an octave" : std::to_string(count) + " octaves";
    addWarning(WarningKind::pitchFold, here, 0,
               "this note of " + voiceName(voice) + " would be " + noteName(written) +
                   ", outside the range C1 to A#6: it sounds as " + noteName(note) + ", " + amount +
                   (octaves > 0 ? " lower" : " higher") + "; write it " + amount +
                   (octaves > 0 ? " lower" : " higher") +
                   ", or move the voice with `U` or the transposition with `<` `>`");
}

void ScoreCompiler::sharedAccidentalWarning(int voice, int step, int alteration) {
    if (alteration == warn_.ownAccidentals[voice][step]) return;
    // A note held over several events is resolved in each: count it once.
    int& kept = warn_.accidentalWarning[voice];
    if (kept != -1) {
        if (kept >= 0 && warn_.accidentalToken[voice] != warn_.mergeToken) {
            ++warn_.accidentalMore[voice];
        }
        warn_.accidentalToken[voice] = warn_.mergeToken;
        return;
    }
    warn_.accidentalToken[voice] = warn_.mergeToken;
    const TextPoint here = tokenPoint(warn_.mergeToken);
    if (!warningWanted(WarningKind::sharedAccidental, here.offset)) {
        kept = -2;  // reported in an earlier pass, or too many already
        return;
    }
    kept = static_cast<int>(warn_.list.size());
    addWarning(WarningKind::sharedAccidental, here, 0,
               "this " + std::string(kStepNames[step]) + " of " + voiceName(voice) + " sounds " +
                   alterationName(alteration) + ": the accidental written in " +
                   voiceName(warn_.accidentalVoice[step] - 1) + " at " +
                   at(tokenPoint(warn_.accidentalAt[step])) +
                   " holds for every voice and octave until the bar line; write `%` (or the "
                   "accidental meant) right after this step, or give each voice its own "
                   "accidentals with `O1`");
}

// Once per voice and merge: the first note says how many more there are.
void ScoreCompiler::sharedAccidentalBarEnd() {
    for (int v = 0; v < kVoices; ++v) {
        const int kept = warn_.accidentalWarning[v];
        if (kept >= 0 && warn_.accidentalMore[v] > 0) {
            const int more = warn_.accidentalMore[v];
            warn_.list[static_cast<std::size_t>(kept)].message +=
                "; " + std::to_string(more) + " more note" + (more == 1 ? "" : "s") + " of " +
                voiceName(v) + " in this bar take" + (more == 1 ? "s" : "") +
                " another voice's accidental";
        }
    }
    warn_.accidentalWarning.fill(-1);
    warn_.accidentalMore.fill(0);
}

// An entry beginning with the note that sounds before it: within the bar
// the entry before it in its queue, at the bar's start the last of the bar
// before.
void ScoreCompiler::joinFound(int voice, const QueueEntry& entry, std::uint32_t barTicks) {
    auto& joins = warn_.joins[voice];
    if (joins.size() >= 2 * kWarningsKept) return;  // more than could be kept
    const bool acrossBar = barTicks == 0;
    const QueueEntry* before = acrossBar ? nullptr : &entry - 1;
    joins.push_back({entry.textOffset(), entry.textLength,
                     before ? before->textOffset() : warn_.lastToken[voice],
                     before ? before->textLength : warn_.lastTokenLength[voice],
                     warn_.ticksBefore + barTicks, acrossBar,
                     state.lastNote[voice] >= kFirstNoiseNote});
    warn_.pendingJoins |= static_cast<std::uint8_t>(1u << voice);
}

// The joined note has ended: each join is told with the length heard.
void ScoreCompiler::finishJoins(int voice, std::uint64_t endTick) {
    if (warn_.joins[voice].empty()) return;
    const std::uint64_t heard = endTick - warn_.struckTick[voice];
    const std::string length = heard <= UINT32_MAX
                                   ? describeTicks(static_cast<std::uint32_t>(heard))
                                   : std::to_string(heard) + " ticks";
    // What one duration letter standing for the pieces of the run within a
    // bar would have to give: their sound, and after the run's last piece the
    // gap its mark leaves. In noise mode a mark keeps only a burst, so no
    // letter gives a longer sound. Across a bar line nothing but a tie will do.
    const auto& joins = warn_.joins[voice];
    const auto& last = joins.back();
    const std::string_view lastText = reader.slice(last.token, last.tokenLength);
    const char lastMark = lastText.empty() ? ' ' : lastText.back();
    const bool quoted = lastMark == '\'' || lastMark == '"';
    const int gap = lastMark == '\'' ? 1 : lastMark == '"' ? 2 : 0;
    const auto oneLetterWould = [&](std::size_t j) {
        std::uint64_t start = warn_.struckTick[voice];
        for (std::size_t k = j; k-- > 0;) {
            if (joins[k].acrossBar) {
                start = joins[k].tick;
                break;
            }
        }
        std::optional<std::uint64_t> barEnd;
        for (std::size_t k = j + 1; k < joins.size() && !barEnd; ++k) {
            if (joins[k].acrossBar) barEnd = joins[k].tick;
        }
        if (barEnd) return isOneDuration(*barEnd - start);
        return !(last.noise && quoted) && isOneDuration(endTick - start + gap);
    };
    for (std::size_t j = 0; j < joins.size(); ++j) {
        const auto& join = joins[j];
        const WarningKind kind =
            join.acrossBar ? WarningKind::tieAcrossBar : WarningKind::repeatedNote;
        if (!wants(kind)) continue;
        // A sound no single duration letter gives can only be written as
        // equal notes in a row: a tie the text had to write, not a trap.
        if (!join.acrossBar && !oneLetterWould(j)) continue;
        const TextPoint here = tokenPoint(join.token);
        if (!warningWanted(kind, here.offset)) continue;
        const std::string before = shown(reader.slice(join.joinedTo, join.joinedToLength));
        const std::string where = at(tokenPoint(join.joinedTo));
        // In noise mode an apostrophe keeps a burst of one tick, then rests.
        const std::string mark = join.noise ? " (a burst of one tick, then a rest)"
                                            : " (the apostrophe ends the first a tick early)";
        if (join.acrossBar) {
            addWarning(kind, here, 0,
                       "this note of " + voiceName(voice) + " is not struck: it is the note `" +
                           before + "` (at " + where +
                           ") that ends the bar before, going on over the bar line, so the two "
                           "sound as one note of " +
                           length +
                           " (the language's way of tying a note over a bar); to strike it "
                           "again, write `" +
                           before + "'` there" + mark);
        } else {
            addWarning(kind, here, 0,
                       "this note of " + voiceName(voice) + " is not struck: it equals the note `" +
                           before + "` right before it (at " + where +
                           "), and two equal notes in a row in one voice sound as one note, "
                           "here of " +
                           length + "; for two attacks write `" + before + "'`" + mark +
                           ", or, when one note is meant, write it once with the longer value");
        }
    }
    warn_.joins[voice].clear();
    warn_.pendingJoins &= static_cast<std::uint8_t>(~(1u << voice));
}

void ScoreCompiler::tempoGlued(TextPoint at) {
    const std::uint8_t next = reader.peekChar();
    const bool step = (next >= '0' && next <= '9') || (next >= 'A' && next <= 'G');
    if (!step || !wants(WarningKind::gluedArgument) ||
        !warningWanted(WarningKind::gluedArgument, at.offset)) {
        return;
    }
    const std::string digits =
        shown(reader.slice(at.offset + 1, reader.position() - at.offset - 1));
    const std::string glued = shown(reader.slice(reader.position(), 1));
    addWarning(
        WarningKind::gluedArgument, at, at.column + static_cast<std::int64_t>(digits.size()) + 1,
        "`=" + digits + glued + "` is read as the tempo `=" + digits + "` followed by `" + glued +
            "`, a note of its own: the tempo takes exactly two hexadecimal digits (02 to "
            "FF, a speed, not beats per minute); put a blank after them");
}

}  // namespace quarvel
