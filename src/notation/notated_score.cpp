#include "notation/notated_score.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>

#include "compiler/note_tokens.h"
#include "notation/general_midi.h"
#include "synth/sample_format.h"
#include "synth/score_walk.h"

namespace quarvel {

namespace {

constexpr std::array<char, 7> kSteps{'C', 'D', 'E', 'F', 'G', 'A', 'B'};
constexpr std::array<int, 7> kStepSemitones{0, 2, 4, 5, 7, 9, 11};

int stepIndex(char step) {
    for (int i = 0; i < 7; ++i) {
        if (kSteps[i] == step) return i;
    }
    return 0;
}

int floorMod(int value, int modulus) {
    return ((value % modulus) + modulus) % modulus;
}

// A difference in semitones brought to -5..6.
int nearestAlter(int semitones) {
    const int a = floorMod(semitones, 12);
    return a > 6 ? a - 12 : a;
}

struct ValueRow {
    std::uint32_t ticks;
    NotatedValue value;
};

// The plain and dotted values (multiples of a 64th, 3 ticks), longest first.
constexpr std::array<ValueRow, 17> kPlainValues{{
    {288, {NoteType::whole, 1, false}},
    {192, {NoteType::whole, 0, false}},
    {168, {NoteType::half, 2, false}},
    {144, {NoteType::half, 1, false}},
    {96, {NoteType::half, 0, false}},
    {84, {NoteType::quarter, 2, false}},
    {72, {NoteType::quarter, 1, false}},
    {48, {NoteType::quarter, 0, false}},
    {42, {NoteType::eighth, 2, false}},
    {36, {NoteType::eighth, 1, false}},
    {24, {NoteType::eighth, 0, false}},
    {21, {NoteType::sixteenth, 2, false}},
    {18, {NoteType::sixteenth, 1, false}},
    {12, {NoteType::sixteenth, 0, false}},
    {9, {NoteType::thirtySecond, 1, false}},
    {6, {NoteType::thirtySecond, 0, false}},
    {3, {NoteType::sixtyFourth, 0, false}},
}};

// Triplet values: powers of two ticks.
constexpr std::array<ValueRow, 8> kTripletValues{{
    {128, {NoteType::whole, 0, true}},
    {64, {NoteType::half, 0, true}},
    {32, {NoteType::quarter, 0, true}},
    {16, {NoteType::eighth, 0, true}},
    {8, {NoteType::sixteenth, 0, true}},
    {4, {NoteType::thirtySecond, 0, true}},
    {2, {NoteType::sixtyFourth, 0, true}},
    {1, {NoteType::hundredTwentyEighth, 0, true}},
}};

// The beat a beat unit ("N") names, and its length.
NoteType beatTypeOf(int beatUnit) {
    switch (beatUnit) {
        case 1:
            return NoteType::half;
        case 4:
            return NoteType::eighth;
        case 8:
            return NoteType::sixteenth;
        case 16:
            return NoteType::thirtySecond;
        default:
            return NoteType::quarter;
    }
}

}  // namespace

std::string pitchName(const WrittenPitch& pitch) {
    static constexpr std::array<const char*, 5> kSigns{"𝄫", "♭", "", "♯", "𝄪"};
    std::string name(1, pitch.step);
    if (pitch.alter >= -2 && pitch.alter <= 2) name += kSigns[pitch.alter + 2];
    return name + std::to_string(pitch.octave);
}

int midiKeyOfPitch(const WrittenPitch& pitch) {
    return 12 * (pitch.octave + 1) + kStepSemitones[stepIndex(pitch.step)] + pitch.alter;
}

std::uint32_t NotatedValue::ticks() const {
    // A whole is 192 ticks; each type halves it, as 2^(7 - type) * 1.5.
    const std::uint32_t base = 3u << (6 - std::min<int>(static_cast<int>(type), 6));
    if (triplet) return type == NoteType::hundredTwentyEighth ? 1 : base * 2 / 3;
    if (type == NoteType::hundredTwentyEighth) return 1;  // not a length of its own
    std::uint32_t total = base;
    std::uint32_t add = base;
    for (int i = 0; i < dots; ++i) {
        add /= 2;
        total += add;
    }
    return total;
}

const char* typeName(NoteType type) {
    static constexpr std::array<const char*, 8> kNames{"whole", "half", "quarter", "eighth",
                                                       "16th",  "32nd", "64th",    "128th"};
    return kNames[static_cast<std::size_t>(type)];
}

std::string valueName(const NotatedValue& value) {
    std::string name = value.dots == 2 ? "double-dotted " : value.dots == 1 ? "dotted " : "";
    name += typeName(value.type);
    if (value.triplet) name += " triplet";
    return name;
}

std::optional<NotatedValue> singleValueOf(std::uint32_t ticks) {
    for (const ValueRow& row : kPlainValues) {
        if (row.ticks == ticks) return row.value;
    }
    for (const ValueRow& row : kTripletValues) {
        if (row.ticks == ticks) return row.value;
    }
    return std::nullopt;
}

std::vector<NotatedValue> valuesOf(std::uint32_t ticks) {
    std::vector<NotatedValue> values;
    if (ticks == 0) return values;
    if (const auto single = singleValueOf(ticks)) return {*single};
    // Plain and dotted values, longest first, for a multiple of 3 ticks.
    const auto plain = [](std::uint32_t left) {
        std::vector<NotatedValue> out;
        while (left > 0) {
            for (const ValueRow& row : kPlainValues) {
                if (row.ticks <= left) {
                    out.push_back(row.value);
                    left -= row.ticks;
                    break;
                }
            }
        }
        return out;
    };
    if (ticks % 3 == 0) return plain(ticks);
    // One triplet value leaves a multiple of 3 (powers of two alternate
    // between 1 and 2 modulo 3): the one that leaves the fewest values.
    for (auto row = kTripletValues.rbegin(); row != kTripletValues.rend(); ++row) {
        if (row->ticks > ticks || (ticks - row->ticks) % 3 != 0) continue;
        auto candidate = plain(ticks - row->ticks);
        candidate.push_back(row->value);
        if (values.empty() || candidate.size() < values.size()) values = std::move(candidate);
    }
    std::stable_sort(
        values.begin(), values.end(),
        [](const NotatedValue& a, const NotatedValue& b) { return a.ticks() > b.ticks(); });
    return values;
}

std::string lengthName(std::uint32_t ticks) {
    std::string name;
    for (const NotatedValue& value : valuesOf(ticks)) {
        if (!name.empty()) name += " + ";
        name += valueName(value);
    }
    return name;
}

WrittenPitch plainSpelling(int note, int fifths) {
    static constexpr std::array<int, 12> kSharpSteps{0, 0, 1, 1, 2, 3, 3, 4, 4, 5, 5, 6};
    static constexpr std::array<int, 12> kFlatSteps{0, 1, 1, 2, 2, 3, 4, 4, 5, 5, 6, 6};
    const int midi = midiKeyOf(note);
    const int pc = floorMod(midi, 12);
    const int step = fifths < 0 ? kFlatSteps[pc] : kSharpSteps[pc];
    const int alter = nearestAlter(pc - kStepSemitones[step]);
    return {kSteps[step], alter, (midi - alter - kStepSemitones[step]) / 12 - 1};
}

namespace {

// The alteration a key signature gives a step.
int keyAlter(int fifths, int step) {
    static constexpr std::array<int, 7> kSharpOrder{3, 0, 4, 1, 5, 2, 6};  // F C G D A E B
    for (int i = 0; i < std::abs(fifths) && i < 7; ++i) {
        const int s = fifths > 0 ? kSharpOrder[i] : kSharpOrder[6 - i];
        if (s == step) return fifths > 0 ? 1 : -1;
    }
    return 0;
}

int fifthsOfKey(const std::array<std::int8_t, kScaleSteps>& key) {
    int sharps = 0;
    int flats = 0;
    for (const std::int8_t a : key) {
        sharps += a > 0 ? 1 : 0;
        flats += a < 0 ? 1 : 0;
    }
    return sharps > 0 ? sharps : -flats;
}

// A transposition as a move in the circle of fifths, chosen so that the key
// keeps at most six accidentals; the letters move 4 steps per fifth.
struct KeyMove {
    int fifths;       // the written key
    int letterShift;  // 0..6
};

KeyMove transposedKey(int fifths, int semitones) {
    int move = 0;
    for (int f = -5; f <= 6; ++f) {
        if (floorMod(7 * f - semitones, 12) == 0) move = f;
    }
    int result = fifths + move;
    if (result > 6) {
        result -= 12;
        move -= 12;
    } else if (result < -6) {
        result += 12;
        move += 12;
    }
    return {result, floorMod(4 * move, 7)};
}

struct Occurrence {
    std::size_t bar;
    std::uint32_t partIndex;
    std::uint64_t startTick;  // of the whole bar, in the rendering
    std::uint32_t cutFirst;   // the ticks of the bar inside the range
    std::uint32_t cutEnd;
    std::uint64_t framesPerTick;
    std::uint8_t beatUnit;
    std::uint8_t tempoIndex;
};

// A stretch of one voice in one bar: one written entry (or none, where the
// voice ran out) sounding one note number without a new attack.
struct Piece {
    const NoteSource* entry;
    std::uint8_t note;
    std::uint32_t start;
    std::uint32_t ticks;
    bool attack;
    std::uint8_t mark;
};

Tempo tempoOf(const Tables& tables, int beatUnit, int tempoIndex) {
    const double sliceFrames = sliceFramesOf(tables, tempoIndex);
    const double quarterFrames = kTicksPerQuarter * beatUnit * sliceFrames;
    const double quarters = 60.0 * kFrameRate / quarterFrames;
    const int unit = beatUnit == 0 ? 2 : beatUnit;
    return {beatTypeOf(unit), 60.0 * kFrameRate / (96.0 * sliceFrames), quarters};
}

TimeSignature meterOf(std::uint32_t ticks, int beatUnit) {
    const std::uint32_t beatTicks = 96u / static_cast<std::uint32_t>(beatUnit == 0 ? 2 : beatUnit);
    if (beatTicks > 0 && ticks % beatTicks == 0) {
        return {ticks / beatTicks, 2u * static_cast<std::uint32_t>(beatUnit), false};
    }
    for (std::uint32_t unit = 48, type = 4; unit >= 3; unit /= 2, type *= 2) {
        if (ticks % unit == 0) return {ticks / unit, type, false};
    }
    return {0, 0, true};
}

bool sameMusic(const NotatedNote& a, const NotatedNote& b) {
    return a.startTick == b.startTick && a.value == b.value && a.rest == b.rest &&
           a.pitch == b.pitch && a.note == b.note && a.accidental == b.accidental &&
           a.tieStart == b.tieStart && a.tieStop == b.tieStop && a.articulation == b.articulation &&
           a.instrument == b.instrument;
}

class Notator {
  public:
    Notator(const CompiledScore& score, const Tables& tables, const NotationOptions& options)
        : score_(score), map_(score.sourceMap), tables_(tables), options_(options) {}

    NotatedScore run() {
        indexNotes();
        findOccurrences();
        chooseStaves();
        for (const Occurrence& occurrence : occurrences_) addMeasure(occurrence);
        if (out_.measures.empty()) silentMeasure();
        if (options_.foldRepeats) foldRepeats();
        markChanges();
        for (NotatedStaff& staff : out_.staves) finishStaff(staff);
        return std::move(out_);
    }

    // The measures alone: without staves, addMeasure makes no notes.
    std::vector<NotatedMeasure> measures() {
        findOccurrences();
        for (const Occurrence& occurrence : occurrences_) addMeasure(occurrence);
        if (out_.measures.empty()) silentMeasure();
        markChanges();
        return std::move(out_.measures);
    }

  private:
    void indexNotes() {
        noteBegin_.assign(map_.bars.size() + 1, map_.notes.size());
        for (std::size_t i = map_.notes.size(); i-- > 0;) noteBegin_[map_.notes[i].bar] = i;
        for (std::size_t b = map_.bars.size(); b-- > 0;) {
            noteBegin_[b] = std::min(noteBegin_[b], noteBegin_[b + 1]);
        }
    }

    // A measure for every pass over a bar: the walk's events that begin one
    // (events of no bar, and a bar's later events, are walked past).
    void findOccurrences() {
        for (const WalkedEvent& at : ScoreWalk(score_.image, tables_, options_.startPart)) {
            const auto bar = map_.barOfEvent(at.eventIndex);
            if (!bar || map_.bars[*bar].firstEvent != at.eventIndex) continue;
            const BarSource& source = map_.bars[*bar];
            const std::uint64_t frame = at.startFrame;
            const std::uint64_t perTick = at.framesPerTick;
            Occurrence o{*bar,
                         static_cast<std::uint32_t>(at.partIndex),
                         at.startTick,
                         0,
                         source.ticks,
                         perTick,
                         at.part->beatUnit,
                         at.part->tempoIndex};
            const std::uint64_t end = frame + source.ticks * perTick;
            if (options_.firstFrame > frame) {
                o.cutFirst = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(source.ticks, (options_.firstFrame - frame) / perTick));
            }
            if (options_.endFrame < end) {
                const std::uint64_t into =
                    options_.endFrame > frame ? options_.endFrame - frame : 0;
                o.cutEnd = static_cast<std::uint32_t>((into + perTick - 1) / perTick);
            }
            if (o.cutEnd > o.cutFirst) occurrences_.push_back(o);
        }
    }

    // The notes of a voice in a bar, in order.
    std::vector<const NoteSource*> entriesOf(std::size_t bar, int voice) const {
        std::vector<const NoteSource*> entries;
        for (std::size_t i = noteBegin_[bar]; i < noteBegin_[bar + 1]; ++i) {
            if (map_.notes[i].voice == voice) entries.push_back(&map_.notes[i]);
        }
        std::stable_sort(
            entries.begin(), entries.end(),
            [](const NoteSource* a, const NoteSource* b) { return a->startTick < b->startTick; });
        return entries;
    }

    void chooseStaves() {
        std::array<bool, kVoices> pitched{};
        std::array<bool, kVoices> noise{};
        for (const Occurrence& o : occurrences_) {
            const BarSource& bar = map_.bars[o.bar];
            std::uint32_t t = 0;
            for (std::size_t e = bar.firstEvent; e < bar.firstEvent + bar.eventCount; ++e) {
                const ScoreEvent& event = score_.image.events[e];
                if (t + event.duration > o.cutFirst && t < o.cutEnd) {
                    for (int v = 0; v < kVoices; ++v) {
                        const std::uint8_t note = event.note[kSlotMaps[bar.slotMapIndex][v]];
                        if (note >= kFirstNoiseRate) {
                            noise[v] = true;
                        } else if (note != 0) {
                            pitched[v] = true;
                        }
                    }
                }
                t += event.duration;
            }
        }
        for (int v = 0; v < kVoices; ++v) {
            for (const bool drums : {false, true}) {
                if (!(drums ? noise[v] : pitched[v])) continue;
                NotatedStaff staff;
                staff.voice = static_cast<std::uint8_t>(v + 1);
                staff.percussion = drums;
                staff.clef = drums ? Clef::percussion : Clef::treble;
                out_.staves.push_back(std::move(staff));
                lastNote_.push_back({});
            }
        }
        if (out_.staves.empty()) {  // nothing sounds: voice 1's rests
            NotatedStaff staff;
            staff.voice = 1;
            out_.staves.push_back(std::move(staff));
            lastNote_.push_back({});
        }
    }

    // The pieces of one voice in one pass over a bar.
    std::vector<Piece> piecesOf(const Occurrence& o, int voice) const {
        const BarSource& bar = map_.bars[o.bar];
        const int slot = kSlotMaps[bar.slotMapIndex][voice];
        const auto entries = entriesOf(o.bar, voice);
        std::vector<Piece> pieces;
        std::size_t next = 0;
        std::uint32_t t = 0;
        for (std::size_t e = bar.firstEvent; e < bar.firstEvent + bar.eventCount; ++e) {
            const ScoreEvent& event = score_.image.events[e];
            while (next < entries.size() && entries[next]->startTick + entries[next]->ticks <= t) {
                ++next;
            }
            const NoteSource* entry =
                next < entries.size() && entries[next]->startTick <= t ? entries[next] : nullptr;
            const std::uint8_t note = event.note[slot];
            const bool goesOn = event.envelope[slot] == 0;
            if (!pieces.empty() && pieces.back().entry == entry && pieces.back().note == note &&
                goesOn) {
                pieces.back().ticks += event.duration;
            } else if (!pieces.empty() && entry != nullptr && entry->mark != 0 && note == 0 &&
                       pieces.back().entry != nullptr &&
                       map_.tokens[pieces.back().entry->token].first.offset ==
                           map_.tokens[entry->token].first.offset) {
                // The rest an articulation mark split off belongs to its note.
                pieces.back().ticks += event.duration;
                pieces.back().mark = entry->mark;
            } else {
                pieces.push_back({entry, note, t, event.duration, !goesOn, 0});
            }
            t += event.duration;
        }
        // Cut to the range.
        std::vector<Piece> cut;
        for (Piece p : pieces) {
            const std::uint32_t first = std::max(p.start, o.cutFirst);
            const std::uint32_t end = std::min(p.start + p.ticks, o.cutEnd);
            if (end <= first) continue;
            p.start = first - o.cutFirst;
            p.ticks = end - first;
            cut.push_back(p);
        }
        return cut;
    }

    WrittenPitch spell(const BarSource& bar, int voice, const NoteSource* entry, std::uint8_t note,
                       int fifths, int letterShift) const {
        if (entry == nullptr || noteClassOf(entry->code) >= NoteClass::noise) {
            return plainSpelling(note, fifths);
        }
        int index = signedDegree(entry->code) + bar.stepOffset[voice] + kDegreeZeroIndex;
        while (index < 0) index += 7;
        while (index > 41) index -= 7;
        const int step = (index % 7 + letterShift) % 7;
        const int midi = midiKeyOf(note);
        const int alter = nearestAlter(midi - kStepSemitones[step]);
        if (alter < -2 || alter > 2) return plainSpelling(note, fifths);
        return {kSteps[step], alter, (midi - alter - kStepSemitones[step]) / 12 - 1};
    }

    void addMeasure(const Occurrence& o) {
        const BarSource& bar = map_.bars[o.bar];
        const PartHeader& part = score_.image.parts[o.partIndex];
        NotatedMeasure measure;
        measure.bar = static_cast<std::uint32_t>(o.bar + 1);
        measure.pass = ++barPasses_[o.bar];
        measure.ticks = o.cutEnd - o.cutFirst;
        measure.startTick = o.startTick + o.cutFirst;
        measure.partIndex = o.partIndex;
        const KeyMove key = transposedKey(fifthsOfKey(bar.key), bar.transpose);
        measure.fifths = key.fifths;
        measure.meter = meterOf(measure.ticks, o.beatUnit);
        measure.tempoInForce = tempoOf(tables_, o.beatUnit, o.tempoIndex);
        out_.measures.push_back(measure);
        const std::size_t m = out_.measures.size() - 1;

        // Which time each token sounds.
        std::map<std::uint32_t, std::uint32_t> passOfToken;
        for (std::size_t s = 0; s < out_.staves.size(); ++s) {
            NotatedStaff& staff = out_.staves[s];
            staff.measures.emplace_back();
            const int voice = staff.voice - 1;
            const int slot = kSlotMaps[bar.slotMapIndex][voice];
            const std::uint8_t instrument = part.slotInstrument[slot];
            auto& notes = staff.measures.back().notes;
            std::map<const NoteSource*, std::uint8_t> piecesOfEntry;
            for (const Piece& p : piecesOf(o, voice)) {
                const bool noise = p.note >= kFirstNoiseRate;
                const bool sounds = p.note != 0 && noise == staff.percussion;
                NotatedNote base;
                base.rest = !sounds;
                base.instrument = instrument;
                if (sounds) {
                    base.note = p.note;
                    base.pitch =
                        noise ? WrittenPitch{drumOf(p.note).displayStep, 0,
                                             drumOf(p.note).displayOctave}
                              : spell(bar, voice, p.entry, p.note, key.fifths, key.letterShift);
                }
                base.articulation = !sounds         ? Articulation::none
                                    : p.mark == ',' ? Articulation::staccato
                                    : p.mark == ';' ? Articulation::portato
                                                    : Articulation::none;
                std::uint8_t piece = 1;
                if (p.entry != nullptr && (sounds || p.note == 0)) {
                    const TokenSource& token = map_.tokens[p.entry->token];
                    base.text = token.first;
                    base.textLength = token.length;
                    auto [at, fresh] = passOfToken.try_emplace(p.entry->token, 0);
                    if (fresh) at->second = ++tokenPasses_[token.first.offset];
                    base.pass = at->second;
                    piece = ++piecesOfEntry[p.entry];
                }
                // A new note of the same sound is tied to the one before it.
                const std::uint64_t absolute = measure.startTick + p.start;
                // On the same output slot only: a voice that "Z" moved to
                // another slot starts its note there afresh.
                if (sounds && !p.attack && lastNote_[s].sounding && lastNote_[s].note == p.note &&
                    lastNote_[s].end == absolute && lastNote_[s].slot == slot) {
                    staff.measures[lastNote_[s].measure].notes[lastNote_[s].index].tieStart = true;
                    base.tieStop = true;
                }
                const auto values = valuesOf(p.ticks);
                std::uint32_t at = p.start;
                for (std::size_t i = 0; i < values.size(); ++i) {
                    NotatedNote n = base;
                    n.startTick = at;
                    n.value = values[i];
                    n.piece = piece;
                    piece = static_cast<std::uint8_t>(std::min(255, piece + 1));
                    if (i > 0) {
                        n.tieStop = sounds;
                        n.articulation = Articulation::none;
                    }
                    n.tieStart = sounds && i + 1 < values.size();
                    notes.push_back(n);
                    at += values[i].ticks();
                }
                if (p.entry != nullptr)
                    piecesOfEntry[p.entry] = static_cast<std::uint8_t>(piece - 1);
                lastNote_[s] = {sounds, p.note, absolute + p.ticks, m, notes.size() - 1, slot};
            }
        }
    }

    // A score where nothing plays is one measure of rest (a file needs one).
    void silentMeasure() {
        NotatedMeasure measure;
        measure.ticks = 4 * kTicksPerQuarter;
        measure.meter = meterOf(measure.ticks, 2);
        measure.tempoInForce = tempoOf(tables_, 2, ScoreSettings{}.tempoIndex);
        out_.measures.push_back(measure);
        for (NotatedStaff& staff : out_.staves) {
            NotatedNote rest;
            rest.rest = true;
            rest.value = {NoteType::whole, 0, false};
            staff.measures.push_back({{rest}, std::nullopt});
        }
    }

    void foldRepeats() {
        for (const RepeatSource& r : map_.repeats) {
            if (!r.onBarLines || r.passes < 2 || r.passBars == 0) continue;
            const std::size_t span = r.passBars * r.passes;
            for (std::size_t i = 0; i + span <= out_.measures.size(); ++i) {
                if (out_.measures[i].bar != r.firstBar + 1) continue;
                if (!repeatAt(i, r)) continue;
                for (NotatedStaff& staff : out_.staves) {
                    staff.measures.erase(
                        staff.measures.begin() + static_cast<std::ptrdiff_t>(i + r.passBars),
                        staff.measures.begin() + static_cast<std::ptrdiff_t>(i + span));
                }
                out_.measures.erase(
                    out_.measures.begin() + static_cast<std::ptrdiff_t>(i + r.passBars),
                    out_.measures.begin() + static_cast<std::ptrdiff_t>(i + span));
                out_.measures[i].repeatForward = true;
                out_.measures[i + r.passBars - 1].repeatTimes = r.passes;
                i += r.passBars - 1;
            }
        }
    }

    // Whether the measures from i are every pass of the repeat, whole, each
    // the same music as the first.
    bool repeatAt(std::size_t i, const RepeatSource& r) const {
        for (std::size_t k = 0; k < r.passBars * r.passes; ++k) {
            const NotatedMeasure& m = out_.measures[i + k];
            const std::size_t bar = r.firstBar + k;
            if (m.bar != bar + 1 || bar >= map_.bars.size() || m.ticks != map_.bars[bar].ticks) {
                return false;
            }
            if (m.repeatForward || m.repeatTimes != 0) return false;
            const NotatedMeasure& first = out_.measures[i + k % r.passBars];
            if (m.fifths != first.fifths || !(m.tempoInForce == first.tempoInForce) ||
                m.partIndex != first.partIndex) {
                return false;
            }
            for (const NotatedStaff& staff : out_.staves) {
                const auto& a = staff.measures[i + k].notes;
                const auto& b = staff.measures[i + k % r.passBars].notes;
                if (a.size() != b.size()) return false;
                for (std::size_t n = 0; n < a.size(); ++n) {
                    if (!sameMusic(a[n], b[n])) return false;
                }
            }
        }
        return true;
    }

    void markChanges() {
        auto& measures = out_.measures;
        if (measures.size() >= 2 && measures[0].ticks < measures[1].ticks) {
            measures[0].pickup = true;
            measures[0].meter = measures[1].meter;
        }
        for (std::size_t i = 0; i < measures.size(); ++i) {
            NotatedMeasure& m = measures[i];
            if (i == 0 || m.fifths != measures[i - 1].fifths) m.keyFifths = m.fifths;
            if (i == 0 || !(m.meter == measures[i - 1].meter)) m.time = m.meter;
            if (i == 0 || !(m.tempoInForce == measures[i - 1].tempoInForce)) {
                m.tempo = m.tempoInForce;
            }
        }
    }

    void finishStaff(NotatedStaff& staff) {
        int below = 0;
        int above = 0;
        std::optional<std::uint8_t> instrument;
        for (std::size_t m = 0; m < staff.measures.size(); ++m) {
            auto& measure = staff.measures[m];
            const int fifths = out_.measures[m].fifths;
            // The alteration each step and octave has so far in the measure.
            std::map<std::pair<char, int>, int> shown;
            for (NotatedNote& n : measure.notes) {
                if (n.rest) continue;
                if (!staff.percussion) {
                    (midiKeyOf(n.note) < 60 ? below : above) += 1;
                    if (std::find(staff.instruments.begin(), staff.instruments.end(),
                                  n.instrument) == staff.instruments.end()) {
                        staff.instruments.push_back(n.instrument);
                    }
                    if (instrument && *instrument != n.instrument && !measure.instrumentChange) {
                        measure.instrumentChange = n.instrument;
                    }
                    instrument = n.instrument;
                    const auto place = std::make_pair(n.pitch.step, n.pitch.octave);
                    const auto before = shown.find(place);
                    const int standing = before != shown.end()
                                             ? before->second
                                             : keyAlter(fifths, stepIndex(n.pitch.step));
                    if (!n.tieStop && standing != n.pitch.alter) n.accidental = n.pitch.alter;
                    shown[place] = n.pitch.alter;
                } else if (std::find(staff.drums.begin(), staff.drums.end(), n.note) ==
                           staff.drums.end()) {
                    staff.drums.push_back(n.note);
                }
            }
        }
        if (!staff.percussion) staff.clef = below > above ? Clef::bass : Clef::treble;
        if (!staff.percussion && staff.instruments.empty()) staff.instruments.push_back(3);
    }

    struct LastNote {
        bool sounding = false;
        std::uint8_t note = 0;
        std::uint64_t end = 0;
        std::size_t measure = 0;
        std::size_t index = 0;
        int slot = 0;
    };

    const CompiledScore& score_;
    const SourceMap& map_;
    const Tables& tables_;
    const NotationOptions& options_;
    NotatedScore out_;
    std::vector<std::size_t> noteBegin_;
    std::vector<Occurrence> occurrences_;
    std::vector<LastNote> lastNote_;  // by staff
    std::map<std::size_t, std::uint32_t> barPasses_;
    std::map<std::size_t, std::uint32_t> tokenPasses_;  // by the token's text offset
};

}  // namespace

NotatedScore notateScore(const CompiledScore& score, const Tables& tables,
                         const NotationOptions& options) {
    return Notator(score, tables, options).run();
}

std::vector<NotatedMeasure> measureLayout(const CompiledScore& score, const Tables& tables,
                                          int startPart) {
    return Notator(score, tables, NotationOptions{.startPart = startPart, .foldRepeats = false})
        .measures();
}

NoteAt noteAt(const NotatedScore& score, std::int64_t line, std::int64_t column) {
    NoteAt best;
    for (const NotatedStaff& staff : score.staves) {
        for (std::size_t m = 0; m < staff.measures.size(); ++m) {
            for (const NotatedNote& n : staff.measures[m].notes) {
                const std::int64_t last =
                    n.text.column + std::max<std::int64_t>(n.textLength, 1) - 1;
                if (n.text.line != line || column < n.text.column || column > last ||
                    n.piece != 1) {
                    continue;
                }
                if (best.note == nullptr || n.pass < best.note->pass ||
                    (best.note->rest && !n.rest)) {
                    best = {&staff, &score.measures[m], &n};
                }
            }
        }
    }
    return best;
}

}  // namespace quarvel
