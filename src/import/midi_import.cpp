#include "import/midi_import.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <compare>
#include <cstdio>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "compiler/score_image.h"
#include "import/midi_tables.h"
#include "output/midi_file.h"
#include "synth/sample_format.h"
#include "synth/score_walk.h"
#include "synth/tables.h"

namespace quarvel {

int loudnessOfVelocity(int velocity) {
    int best = 15;
    for (int d = 15; d >= 0; --d) {
        const int v = midiVelocityOf(kEnvelopePresets[static_cast<std::size_t>(d)]);
        const int b = midiVelocityOf(kEnvelopePresets[static_cast<std::size_t>(best)]);
        if (std::abs(v - velocity) < std::abs(b - velocity)) best = d;
    }
    return best;
}

std::uint64_t scoreTickOf(std::uint64_t fileTick, int division) {
    const auto d = static_cast<std::uint64_t>(division);
    return fileTick / d * kImportQuarter + ((fileTick % d) * kImportQuarter + d / 2) / d;
}

namespace {

// Every length one duration letter can give, with its text: the plainer
// spellings (at most two signs after the letter) first, then the lengths only
// three or more signs give ("S:..", "Q...").
struct LetterLength {
    int ticks;
    const char* text;
};
constexpr std::array<LetterLength, 54> kLetterLengths{{
    {192, "W"},       {96, "H"},       {48, "Q"},         {24, "I"},      {12, "S"},
    {6, "T"},         {3, "X"},        {144, "H."},       {72, "Q."},     {36, "I."},
    {18, "S."},       {9, "T."},       {128, "W:"},       {64, "H:"},     {32, "Q:"},
    {16, "I:"},       {8, "S:"},       {4, "T:"},         {2, "X:"},      {168, "H.."},
    {84, "Q.."},      {42, "I.."},     {21, "S.."},       {10, "T.."},    {224, "W:."},
    {112, "H:."},     {56, "Q:."},     {28, "I:."},       {14, "S:."},    {7, "T:."},
    {180, "H..."},    {90, "Q..."},    {45, "I..."},      {22, "S..."},   {186, "H...."},
    {93, "Q...."},    {46, "I...."},   {189, "H....."},   {94, "Q....."}, {190, "H......"},
    {136, "H:.."},    {68, "Q:.."},    {34, "I:.."},      {17, "S:.."},   {148, "H:..."},
    {74, "Q:..."},    {37, "I:..."},   {154, "H:...."},   {77, "Q:...."}, {38, "I:...."},
    {157, "H:....."}, {78, "Q:....."}, {158, "H:......"}, {1, nullptr},
}};

const LetterLength* letterOf(int ticks) {
    for (const auto& l : kLetterLengths) {
        if (l.ticks == ticks && l.text != nullptr) return &l;
    }
    return nullptr;
}

// What a way of writing a length costs: its pieces first, then how many of
// them need a spelling of three signs or more. Where the plainer spellings
// write a length in as few pieces, they write it.
struct Cost {
    int pieces = 0;
    int longSpellings = 0;
    auto operator<=>(const Cost&) const = default;
    Cost operator+(const Cost& other) const {
        return {pieces + other.pieces, longSpellings + other.longSpellings};
    }
};
constexpr Cost kNoWay{1 << 20, 0};

Cost costOf(const LetterLength& l) {
    return {1, std::char_traits<char>::length(l.text) > 3 ? 1 : 0};
}

// The cheapest way for every length up to `limit`.
const std::vector<Cost>& pieceCosts(int limit) {
    static std::vector<Cost> costs{Cost{}};
    while (static_cast<int>(costs.size()) <= limit) {
        const int n = static_cast<int>(costs.size());
        Cost best = kNoWay;
        for (const auto& l : kLetterLengths) {
            if (l.text == nullptr || l.ticks > n) continue;
            best = std::min(best, costs[static_cast<std::size_t>(n - l.ticks)] + costOf(l));
        }
        costs.push_back(best);
    }
    return costs;
}

}  // namespace

std::vector<LengthPiece> lengthPieces(int ticks, int lastAtLeast) {
    if (ticks < 2) return {};
    const auto& costs = pieceCosts(ticks);
    const auto costOfRest = [&](int rest) { return costs[static_cast<std::size_t>(rest)]; };
    // The last piece first: the first that leaves the cheapest writable rest.
    const LetterLength* last = nullptr;
    Cost best = kNoWay;
    for (const auto& l : kLetterLengths) {
        if (l.text == nullptr || l.ticks > ticks || l.ticks < lastAtLeast) continue;
        const int rest = ticks - l.ticks;
        if (rest == 1 || costOfRest(rest) >= kNoWay) continue;
        if (costOfRest(rest) + costOf(l) < best) {
            best = costOfRest(rest) + costOf(l);
            last = &l;
        }
    }
    if (last == nullptr) return {};
    std::vector<LengthPiece> pieces;
    int left = ticks - last->ticks;
    while (left > 0) {
        for (const auto& l : kLetterLengths) {
            if (l.text == nullptr || l.ticks > left) continue;
            if (costOfRest(left - l.ticks) + costOf(l) == costOfRest(left)) {
                pieces.push_back({l.ticks, l.text});
                left -= l.ticks;
                break;
            }
        }
    }
    pieces.push_back({last->ticks, last->text});
    return pieces;
}

std::vector<int> spreadVoices(const std::vector<SpreadNote>& notes) {
    // The order of placing: by start; within a chord of one stream, the
    // highest note, then the lowest, then the others from the top.
    std::vector<std::size_t> order(notes.size());
    std::iota(order.begin(), order.end(), 0);
    std::map<std::pair<std::uint64_t, std::uint32_t>, std::pair<int, int>>
        outer;  // lowest, highest
    for (const auto& n : notes) {
        auto [it, fresh] = outer.try_emplace({n.start, n.stream}, n.pitch, n.pitch);
        if (!fresh) {
            it->second.first = std::min(it->second.first, n.pitch);
            it->second.second = std::max(it->second.second, n.pitch);
        }
    }
    const auto rank = [&](const SpreadNote& n) {
        const auto& [low, high] = outer.at({n.start, n.stream});
        return n.pitch == high ? 0 : n.pitch == low ? 1 : 2;
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const SpreadNote& x = notes[a];
        const SpreadNote& y = notes[b];
        if (x.start != y.start) return x.start < y.start;
        if (x.stream != y.stream) return x.stream < y.stream;
        if (rank(x) != rank(y)) return rank(x) < rank(y);
        return x.pitch > y.pitch;
    });
    std::array<std::int64_t, kVoices> owner;
    owner.fill(-1);
    std::array<std::uint64_t, kVoices> freeAt{};
    std::vector<int> voice(notes.size(), -1);
    for (const std::size_t i : order) {
        const SpreadNote& n = notes[i];
        int chosen = -1;
        // Its own voices, then a voice nobody has used, then any free one.
        for (int pass = 0; pass < 3 && chosen < 0; ++pass) {
            for (int v = 0; v < kVoices && chosen < 0; ++v) {
                if (freeAt[v] > n.start) continue;
                const bool fits = pass == 0   ? owner[v] == static_cast<std::int64_t>(n.stream)
                                  : pass == 1 ? owner[v] < 0
                                              : true;
                if (fits) chosen = v;
            }
        }
        if (chosen < 0) continue;
        if (owner[chosen] < 0) owner[chosen] = n.stream;
        freeAt[chosen] = n.end;
        voice[i] = chosen;
    }
    return voice;
}

namespace {

// A note as the file has it, times already on the score's grid.
struct FileNote {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    int key = 0;
    int velocity = 0;
    int program = -1;  // -1: no program change before it
    bool drum = false;
    std::uint32_t stream = 0;
};

// A note as a voice plays it.
struct VoiceNote {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    int note = 0;  // 1..71 pitched, 73..88 noise
    int loudness = 15;
    int instrument = -1;  // -1: the voice keeps its instrument
};

struct Bar {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool newPart = false;  // a tempo change starts a part here
    int tempoIndex = 0;
    int beatUnit = 2;
    std::optional<int> key;  // sharps (negative: flats) from this bar on
};

struct Tempo {
    int tempoIndex;
    int beatUnit;
    double microseconds;
};

// The score's tempo nearest to a MIDI tempo: quarter beats unless another
// beat unit comes strictly closer.
Tempo nearestTempo(double microseconds, const Tables& tables) {
    std::optional<Tempo> best;
    for (const int unit : {2, 1, 4, 8, 16}) {
        for (int index = 1; index < kTempoIndexes; ++index) {
            const auto frames = static_cast<double>(framesPerTickOf(tables, unit, index));
            const double us = frames * kImportQuarter * 1e6 / kFrameRate;
            if (!best ||
                std::abs(us - microseconds) < std::abs(best->microseconds - microseconds)) {
                best = Tempo{index, unit, us};
            }
        }
    }
    return *best;
}

constexpr std::array<int, 7> kNaturalClass{0, 2, 4, 5, 7, 9, 11};  // C D E F G A B
constexpr std::array<int, 7> kSharpOrder{3, 0, 4, 1, 5, 2, 6};     // F C G D A E B

std::array<int, 7> keySignatureOf(int sharps) {
    std::array<int, 7> key{};
    for (int i = 0; i < std::abs(sharps); ++i) {
        if (sharps > 0)
            key[static_cast<std::size_t>(kSharpOrder[static_cast<std::size_t>(i)])] = 1;
        else
            key[static_cast<std::size_t>(kSharpOrder[static_cast<std::size_t>(6 - i)])] = -1;
    }
    return key;
}

std::string keyName(int sharps, bool minor) {
    static const char* const major[] = {"C flat", "G flat", "D flat", "A flat",  "E flat",
                                        "B flat", "F",      "C",      "G",       "D",
                                        "A",      "E",      "B",      "F sharp", "C sharp"};
    static const char* const minorNames[] = {"A flat",  "E flat",  "B flat",  "F",       "C",
                                             "G",       "D",       "A",       "E",       "B",
                                             "F sharp", "C sharp", "G sharp", "D sharp", "A sharp"};
    return std::string((minor ? minorNames : major)[sharps + 7]) + (minor ? " minor" : " major");
}

// The key whose scale holds most of the music's length, fewer accidentals
// first.
int guessKey(const std::vector<FileNote>& notes) {
    std::array<std::uint64_t, 12> weight{};
    for (const auto& n : notes) {
        if (!n.drum) weight[static_cast<std::size_t>(n.key % 12)] += n.end - n.start;
    }
    int best = 0;
    std::uint64_t bestWeight = 0;
    for (const int sharps : {0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6, -6, 7, -7}) {
        const auto key = keySignatureOf(sharps);
        std::uint64_t w = 0;
        for (int s = 0; s < 7; ++s) {
            w += weight[static_cast<std::size_t>((kNaturalClass[static_cast<std::size_t>(s)] +
                                                  key[static_cast<std::size_t>(s)] + 12) %
                                                 12)];
        }
        if (w > bestWeight) {
            bestWeight = w;
            best = sharps;
        }
    }
    return best;
}

// How a pitched note is written: its diatonic index (0..41) and alteration.
struct Spelling {
    int index;
    int alteration;
};

Spelling spell(int note, const std::array<int, 7>& key, int sharps) {
    const int pitchClass = (note - 1) % 12;
    std::optional<Spelling> best;
    int bestRank = 99;
    for (int s = 0; s < 7; ++s) {
        int a = (pitchClass - kNaturalClass[static_cast<std::size_t>(s)] + 12) % 12;
        if (a > 6) a -= 12;
        if (a < -2 || a > 2) continue;
        const int natural = note - a;
        if (natural < 1 || natural > 72) continue;
        const int rank = a == key[static_cast<std::size_t>(s)] ? 0
                         : a == 0                              ? 1
                         : a == (sharps < 0 ? -1 : 1)          ? 2
                         : std::abs(a) == 1                    ? 3
                                                               : 4;
        if (rank < bestRank) {
            bestRank = rank;
            best = Spelling{7 * ((natural - 1) / 12) + s, a};
        }
    }
    return *best;
}

std::string hexDigit(int d) {
    return std::string(1, "0123456789ABCDEF"[d & 0xF]);
}

// "1 note", "4 notes".
std::string counted(std::uint64_t n, const std::string& what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string barsText(std::uint32_t first, std::uint32_t last) {
    return first == last ? "bar " + std::to_string(first)
                         : "bars " + std::to_string(first) + "\u2013" + std::to_string(last);
}

// One piece of a voice within a bar: a note (or the part of a longer note
// that lies in the bar) or a rest.
struct Piece {
    int ticks;
    int note;  // 0: rest
    int loudness;
};

// How a note and the rest after it are written: the note's tied pieces, the
// mark on the last one (empty: the rest is written on its own) and the rest
// that is left after the mark's silence.
struct NoteLengths {
    std::vector<LengthPiece> lengths;
    std::string mark;
    std::vector<LengthPiece> restAfter;
};

// Whether a note and the one or two silent ticks after it are written as
// one length with ' or ": where the note alone needs no fewer pieces. A
// single silent tick has no other way; two are written as a rest of their
// own where the mark would cut the note in more pieces ("Q 0 X: $", not
// "I.... 0 T: 0\"").
bool gapMarkKeepsPieces(int ticks, int rest) {
    const auto marked = lengthPieces(ticks + rest, rest + 1);
    if (marked.empty()) return false;
    const auto alone = lengthPieces(ticks);
    return rest == 1 || alone.empty() || marked.size() <= alone.size();
}

// The note and the rest after it as one length with a mark, where a mark
// says it: the one- and two-tick gaps that keep attacks apart, staccato, or
// the short burst of a drum; otherwise the note's length alone.
NoteLengths noteLengths(int ticks, int rest, bool noise) {
    NoteLengths w;
    if (noise && (ticks == 1 || ticks == 2) && rest > 0) {
        // In noise mode ' and " keep the first 1 or 2 ticks sounding.
        const int total = ticks + rest;
        for (const auto& l : kLetterLengths) {
            if (l.text == nullptr || l.ticks > total || l.ticks <= ticks) continue;
            const int left = total - l.ticks;
            if (left == 1) continue;
            w.lengths = {{l.ticks, l.text}};
            w.restAfter = lengthPieces(left);
            w.mark = ticks == 1 ? "'" : "\"";
            break;
        }
    } else if (!noise && rest > 0 && rest <= 2 && gapMarkKeepsPieces(ticks, rest)) {
        w.lengths = lengthPieces(ticks + rest, rest + 1);
        w.mark = rest == 1 ? "'" : "\"";
    } else if (rest > 0 && letterOf(ticks + rest) != nullptr && (ticks + rest) / 2 == rest) {
        w.lengths = {{ticks + rest, letterOf(ticks + rest)->text}};
        w.mark = ",";
    } else if (rest > 0 && ticks + rest >= 4 && letterOf(ticks + rest) != nullptr &&
               (ticks + rest) / 4 == rest) {
        w.lengths = {{ticks + rest, letterOf(ticks + rest)->text}};
        w.mark = ";";
    } else if (noise && rest == 1 && ticks >= 3) {
        // A drum held, then one silent tick: the held part, then the same
        // noise again as a burst of one tick (X:') or, where that saves a
        // piece, of two (X"), and the tick of silence.
        w.lengths = lengthPieces(ticks - 1);
        w.lengths.push_back({2, "X:"});
        w.mark = "'";
        auto shorter = ticks >= 4 ? lengthPieces(ticks - 2) : std::vector<LengthPiece>{};
        if (!shorter.empty() && shorter.size() + 1 < w.lengths.size()) {
            w.lengths = std::move(shorter);
            w.lengths.push_back({3, "X"});
            w.mark = "\"";
        }
    }
    if (w.mark.empty() && ticks == 1 && rest >= 3) {
        // One tick of sound, one of silence, then the rest of the silence.
        w.lengths = {{2, "X:"}};
        w.mark = "'";
        w.restAfter = lengthPieces(rest - 1);
    }
    if (w.mark.empty()) w.lengths = lengthPieces(ticks);
    return w;
}

std::string tempoText(const Tempo& t) {
    char text[16];
    std::snprintf(text, sizeof text, "=%02X", t.tempoIndex * 2);
    std::string s = text;
    if (t.beatUnit != 2) {
        s += std::string(" N") + (t.beatUnit == 1   ? "H"
                                  : t.beatUnit == 4 ? "I"
                                  : t.beatUnit == 8 ? "S"
                                                    : "T");
    }
    return s;
}

std::string keyText(int sharps) {
    return "K" + std::to_string(std::abs(sharps)) + (sharps < 0 ? "&" : "#");
}

// Writes the bars of the voices' notes, one line a bar, keeping what the
// compiler will hold while it reads the text, so that nothing is written
// that the compiler would already take.
class ScoreWriter {
  public:
    ScoreWriter(std::string& out, const std::array<std::vector<VoiceNote>, kVoices>& voices)
        : out_(out), voices_(voices) {}

    // Every bar, the parts' tempos and the changes of key; `sharps` is the
    // key the text starts in, `musicEnd` where the last part ends.
    void score(const std::vector<Bar>& bars, int sharps, std::uint64_t musicEnd);

  private:
    void bar(const Bar& bar, const std::array<int, 7>& key, int sharps);
    void setPartInstruments(std::uint64_t start, std::uint64_t end);
    std::vector<Piece> piecesOf(int v, const Bar& bar);
    void segment(int v, std::vector<Piece> pieces, const std::array<int, 7>& key, int sharps);
    void keepAttacks(int v, std::vector<Piece>& pieces, const std::array<int, 7>& key,
                     int sharps) const;
    void placeOctave(int v, const std::vector<Piece>& pieces, const std::array<int, 7>& key,
                     int sharps);
    void rest(int v, int ticks);
    bool note(int v, const Piece& p, int restAfter, const std::array<int, 7>& key, int sharps);
    void length(int v, int ticks, bool first);
    void mode(int v, bool noise, char first);
    std::string noteText(int v, int note, const std::array<int, 7>& key, int sharps);

    std::string& out_;
    const std::array<std::vector<VoiceNote>, kVoices>& voices_;
    std::array<std::size_t, kVoices> next_{};  // first note of each voice not yet ended

    // What the compiler will hold while reading the text.
    int duration_ = 1;
    int durationVoice_ = -1;
    std::array<int, kVoices> voiceDuration_{};
    bool noiseMode_ = false;
    int modeVoice_ = -1;
    std::array<int, kVoices> voiceMode_{};  // 0 none yet, 1 steps, 2 noise
    std::array<int, kVoices> offset_{};     // U, in steps
    std::array<int, kVoices> loudness_{15, 15, 15, 15, 15};
    std::array<int, kVoices> instrument_{3, 3, 3, 3, 3};
    std::array<int, kVoices> partInstrument_{-1, -1, -1, -1, -1};
    std::array<std::array<int, 7>, kVoices> memory_{};
    bool fresh_ = false;

  public:
    std::uint32_t folded_ = 0;         // notes moved by an octave
    std::uint32_t otherPrograms_ = 0;  // notes whose program differs from their part's
    std::uint32_t moved_ = 0;          // one-tick lengths moved into a neighbour
};

void ScoreWriter::setPartInstruments(std::uint64_t start, std::uint64_t end) {
    for (int v = 0; v < kVoices; ++v) {
        partInstrument_[v] = -1;
        for (const auto& n : voices_[v]) {
            if (n.start >= end) break;
            if (n.start < start || n.instrument < 0) continue;
            if (partInstrument_[v] < 0) partInstrument_[v] = n.instrument;
            if (n.instrument != partInstrument_[v]) ++otherPrograms_;
        }
    }
}

std::vector<Piece> ScoreWriter::piecesOf(int v, const Bar& bar) {
    std::vector<Piece> pieces;
    const auto& notes = voices_[v];
    std::size_t& i = next_[v];
    while (i < notes.size() && notes[i].end <= bar.start) ++i;
    std::uint64_t at = bar.start;
    for (std::size_t j = i; j < notes.size() && notes[j].start < bar.end; ++j) {
        const VoiceNote& n = notes[j];
        const std::uint64_t from = std::max(n.start, bar.start);
        const std::uint64_t to = std::min(n.end, bar.end);
        if (from > at) pieces.push_back({static_cast<int>(from - at), 0, 0});
        pieces.push_back({static_cast<int>(to - from), n.note, n.loudness});
        at = to;
    }
    if (pieces.empty()) return pieces;
    if (at < bar.end) pieces.push_back({static_cast<int>(bar.end - at), 0, 0});
    return pieces;
}

void ScoreWriter::length(int v, int ticks, bool first) {
    const bool needed =
        duration_ != ticks ||
        (first && durationVoice_ != v && voiceDuration_[v] != 0 && voiceDuration_[v] != ticks);
    if (needed) {
        out_ += std::string(letterOf(ticks)->text) + " ";
        duration_ = ticks;
        durationVoice_ = v;
    }
    voiceDuration_[v] = ticks;
}

void ScoreWriter::mode(int v, bool noise, char first) {
    const int wanted = noise ? 2 : 1;
    // The compiler notes the mode a voice's steps were read in only where the
    // mode matters: not for a sign, nor for a plain 0 away from noise.
    const bool matters =
        noise || (first != '-' && (first != '0' || noiseMode_ || voiceMode_[v] == 2));
    if (noiseMode_ != noise ||
        (matters && voiceMode_[v] != 0 && voiceMode_[v] != wanted && modeVoice_ != v)) {
        out_ += noise ? "_ " : "* ";
        noiseMode_ = noise;
        modeVoice_ = v;
    }
    if (matters) voiceMode_[v] = wanted;
}

// The step a note is written as, counted from the voice's step offset. A
// voice that spans more than four octaves in one bar: the notes its step
// offset cannot reach move by octaves (`moves` counts them).
int writtenDegree(const Spelling& s, int offset, int* moves = nullptr) {
    int degree = s.index - 21 - offset;
    int moved = 0;
    for (; degree > 16; degree -= 7) ++moved;
    for (; degree < -15; degree += 7) ++moved;
    if (moves != nullptr) *moves = moved;
    return degree;
}

std::string ScoreWriter::noteText(int v, int note, const std::array<int, 7>& key, int sharps) {
    if (note >= 73) return hexDigit(note - 73);
    const Spelling s = spell(note, key, sharps);
    int moves = 0;
    const int degree = writtenDegree(s, offset_[v], &moves);
    folded_ += static_cast<std::uint32_t>(moves);
    std::string text = degree < 0 ? "-" + hexDigit(-degree) : degree == 16 ? "G" : hexDigit(degree);
    int& remembered = memory_[v][static_cast<std::size_t>(s.index % 7)];
    if (remembered != s.alteration) {
        static const char* const marks[] = {"&&", "&", "%", "#", "##"};
        text += marks[s.alteration + 2];
        remembered = s.alteration;
    }
    return text;
}

// The steps of a bar counted from the octave nearest to its notes, where the
// voice's step offset cannot reach them all.
void ScoreWriter::placeOctave(int v, const std::vector<Piece>& pieces,
                              const std::array<int, 7>& key, int sharps) {
    int low = 99, high = -99;
    for (const auto& p : pieces) {
        if (p.note == 0 || p.note >= 73) continue;
        const int index = spell(p.note, key, sharps).index;
        low = std::min(low, index - 21);
        high = std::max(high, index - 21);
    }
    if (low <= high && (low - offset_[v] < -15 || high - offset_[v] > 16)) {
        const int centre = (low + high) / 2;
        int wanted = static_cast<int>(std::lround(centre / 7.0)) * 7;
        wanted = std::clamp(wanted, -14, 14);
        offset_[v] = wanted;
        out_ += (wanted < 0 ? "U-" : "U+") + hexDigit(std::abs(wanted)) + " ";
    }
}

void ScoreWriter::rest(int v, int ticks) {
    for (const auto& l : lengthPieces(ticks)) {
        length(v, l.ticks, fresh_);
        fresh_ = false;
        out_ += "$ ";
    }
}

// A note with its loudness, mode and accidental where they change; answers
// whether the rest after it went into the note's mark.
bool ScoreWriter::note(int v, const Piece& p, int restAfter, const std::array<int, 7>& key,
                       int sharps) {
    const bool noise = p.note >= 73;
    if (p.loudness != loudness_[v]) {
        loudness_[v] = p.loudness;
        out_ += "L" + hexDigit(p.loudness) + " ";
    }
    const std::string text = noteText(v, p.note, key, sharps);
    mode(v, noise, text[0]);
    const std::string plain = noise ? text : text.substr(0, text.find_first_of("#&%"));
    const NoteLengths w = noteLengths(p.ticks, restAfter, noise);
    for (std::size_t k = 0; k < w.lengths.size(); ++k) {
        length(v, w.lengths[k].ticks, fresh_);
        fresh_ = false;
        out_ += (k == 0 ? text : plain) + (k + 1 == w.lengths.size() ? w.mark : "") + " ";
    }
    for (const auto& l : w.restAfter) {
        length(v, l.ticks, false);
        out_ += "$ ";
    }
    return !w.mark.empty();
}

// Two different notes moved by octaves onto the same written step, back to
// back, would sound as one: the first gives up its last tick, as two
// attacks of one key do (notesOnVoices).
void ScoreWriter::keepAttacks(int v, std::vector<Piece>& pieces, const std::array<int, 7>& key,
                              int sharps) const {
    const auto sounds = [&](const Piece& p) {
        const Spelling s = spell(p.note, key, sharps);
        return std::pair(writtenDegree(s, offset_[v]), s.alteration);
    };
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
        const Piece& a = pieces[i];
        const Piece& b = pieces[i + 1];
        if (a.note == 0 || b.note == 0 || a.note >= 73 || b.note >= 73 || a.note == b.note ||
            a.ticks < 2 || sounds(a) != sounds(b)) {
            continue;
        }
        --pieces[i].ticks;
        pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(i) + 1, Piece{1, 0, 0});
        ++i;
    }
}

// One voice's part of a bar: the voice, its octave and instrument where they
// change, its notes and rests.
void ScoreWriter::segment(int v, std::vector<Piece> pieces, const std::array<int, 7>& key,
                          int sharps) {
    out_ += "V" + std::to_string(v + 1) + " ";
    placeOctave(v, pieces, key, sharps);
    if (partInstrument_[v] >= 0 && partInstrument_[v] != instrument_[v]) {
        instrument_[v] = partInstrument_[v];
        out_ += std::string("Y") + static_cast<char>('A' + instrument_[v]) + " ";
    }
    memory_[v] = key;
    fresh_ = true;
    keepAttacks(v, pieces, key, sharps);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        if (p.note == 0) {
            rest(v, p.ticks);
            continue;
        }
        const int restAfter =
            i + 1 < pieces.size() && pieces[i + 1].note == 0 ? pieces[i + 1].ticks : 0;
        if (note(v, p, restAfter, key, sharps)) ++i;
    }
    if (noiseMode_) {
        // Back to steps for the voices after this one.
        out_ += "* ";
        noiseMode_ = false;
        modeVoice_ = v;
    }
}

// Lengths a voice cannot write (one tick of rest with no note before it in
// the bar, a note of one tick with no rest after it) take a tick from a
// neighbour; answers how many times.
std::uint32_t writable(std::vector<Piece>& pieces) {
    std::uint32_t moved = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        Piece& p = pieces[i];
        if (p.ticks != 1) continue;
        const bool restAfter = i + 1 < pieces.size() && pieces[i + 1].note == 0;
        const bool noteBefore = i > 0 && pieces[i - 1].note != 0;
        if (p.note != 0 ? restAfter : noteBefore) continue;
        ++moved;
        if (i + 1 < pieces.size() && pieces[i + 1].ticks > 1) {
            --pieces[i + 1].ticks;
            p.ticks = 2;
        } else if (i > 0 && pieces[i - 1].ticks > 2) {
            --pieces[i - 1].ticks;
            p.ticks = 2;
        } else {
            // Nothing to take from: the piece goes into its neighbour.
            if (i + 1 < pieces.size()) {
                pieces[i + 1].ticks += 1;
            } else if (i > 0) {
                pieces[i - 1].ticks += 1;
            }
            pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i));
            --i;
        }
    }
    return moved;
}

void ScoreWriter::bar(const Bar& bar, const std::array<int, 7>& key, int sharps) {
    bool any = false;
    for (int v = 0; v < kVoices; ++v) {
        auto pieces = piecesOf(v, bar);
        if (pieces.empty()) continue;
        moved_ += writable(pieces);
        if (any) out_ += "  ";
        segment(v, std::move(pieces), key, sharps);
        any = true;
    }
    if (!any) {
        // A bar of silence in every voice.
        std::vector<Piece> rest{{static_cast<int>(bar.end - bar.start), 0, 0}};
        segment(0, rest, key, sharps);
    }
}

void ScoreWriter::score(const std::vector<Bar>& bars, int sharps, std::uint64_t musicEnd) {
    std::array<int, 7> key = keySignatureOf(sharps);
    // The end of the part that starts with bar i.
    const auto partEnd = [&](std::size_t i) {
        for (std::size_t j = i + 1; j < bars.size(); ++j) {
            if (bars[j].newPart) return bars[j].start;
        }
        return musicEnd;
    };
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& b = bars[i];
        if (i == 0 || b.newPart) setPartInstruments(b.start, partEnd(i));
        if (b.newPart) out_ += "P " + tempoText(Tempo{b.tempoIndex, b.beatUnit, 0}) + "\n";
        bar(b, key, sharps);
        const Bar* nextBar = i + 1 < bars.size() ? &bars[i + 1] : nullptr;
        if (nextBar != nullptr && nextBar->key && *nextBar->key != sharps) {
            sharps = *nextBar->key;
            key = keySignatureOf(sharps);
            out_ += "  " + keyText(sharps);
        }
        out_ += "  M" + std::to_string(i + 1) + "\n";
    }
}

// --- The stages of an import, in the order importMidi runs them ---

// What could not be kept exactly, gathered by the stages for the report.
struct Losses {
    std::vector<std::uint64_t> dropped;     // starts of the notes no voice could take
    std::uint32_t lengthened = 0;           // notes shorter than a tick
    std::uint32_t folded = 0;               // notes moved by octaves into the range
    std::map<int, std::uint32_t> standIns;  // drum key → notes another drum plays
    std::uint32_t unended = 0;              // notes without a note-off
    std::uint32_t odd = 0;                  // time signatures too long for a bar
    std::uint32_t moved = 0;                // one-tick lengths moved into a neighbour
    std::uint32_t otherPrograms = 0;        // notes not on their voice's instrument
};

// Times onto the score's grid of 48 ticks a quarter; keeps the largest move.
class Grid {
  public:
    explicit Grid(int division) : division_(division) {}
    std::uint64_t operator()(std::uint64_t tick) {
        const double exact = static_cast<double>(tick) * kImportQuarter / division_;
        const std::uint64_t q = scoreTickOf(tick, division_);
        largestMove_ = std::max(largestMove_, std::abs(exact - static_cast<double>(q)));
        return q;
    }
    double largestMove() const { return largestMove_; }

  private:
    int division_;
    double largestMove_ = 0;
};

// What the file holds: its notes (times still the file's), and its tempos,
// time and key signatures in the order of time.
struct FileMusic {
    std::vector<FileNote> notes;
    std::vector<std::pair<std::uint64_t, double>> tempos;    // tick, microseconds
    std::vector<std::pair<std::uint64_t, int>> barLengths;   // tick, score ticks
    std::vector<std::tuple<std::uint64_t, int, bool>> keys;  // tick, sharps, minor
    std::vector<std::uint64_t> trackEnd;                     // the last tick of each track
    std::string meterName;                                   // of the first time signature
};

struct TimedEvent {
    std::uint64_t tick;
    std::uint32_t track;
    const MidiEvent* event;
};

// Every event of every track in the order of time, and where each track
// ends. Music too long for a score is refused.
std::vector<TimedEvent> eventsInTimeOrder(const MidiSong& song,
                                          std::vector<std::uint64_t>& trackEnd) {
    std::vector<TimedEvent> timed;
    trackEnd.assign(song.tracks.size(), 0);
    for (std::size_t t = 0; t < song.tracks.size(); ++t) {
        for (const auto& e : song.tracks[t]) {
            timed.push_back({e.tick, static_cast<std::uint32_t>(t), &e});
            trackEnd[t] = std::max(trackEnd[t], e.tick);
        }
    }
    std::stable_sort(timed.begin(), timed.end(),
                     [](const TimedEvent& a, const TimedEvent& b) { return a.tick < b.tick; });
    const std::uint64_t longest = timed.empty() ? 0 : timed.back().tick;
    // A score of more than about 14 hours at 120 quarter notes a minute is no score.
    if (longest / static_cast<std::uint64_t>(song.division) > 100000) {
        throw MidiFormatError("the music lasts " + std::to_string(longest / song.division) +
                              " quarter notes: too long for a score");
    }
    return timed;
}

// Reads events in the order of time into a FileMusic: a note lasts from its
// note-on to its note-off, to the next note-on of its key, or to the end of
// its track; it plays the program its channel had when it began.
class EventReader {
  public:
    EventReader(FileMusic& music, Losses& losses) : music_(music), losses_(losses) {
        program_.fill(-1);
    }
    void take(const TimedEvent& t);
    // The notes still sounding end with their tracks.
    void finish();

  private:
    void noteOn(std::uint32_t track, const MidiEvent& e);
    void noteOff(std::uint32_t track, const MidiEvent& e);
    void timeSignature(const MidiEvent& e);

    FileMusic& music_;
    Losses& losses_;
    std::array<int, 16> program_;
    std::map<std::tuple<std::uint32_t, int, int>, std::vector<FileNote>>
        open_;  // track, channel, key
};

void EventReader::take(const TimedEvent& t) {
    const MidiEvent& e = *t.event;
    using Kind = MidiEvent::Kind;
    switch (e.kind) {
        case Kind::noteOn:
            noteOn(t.track, e);
            break;
        case Kind::noteOff:
            noteOff(t.track, e);
            break;
        case Kind::program:
            program_[e.channel] = e.a;
            break;
        case Kind::tempo:
            music_.tempos.emplace_back(e.tick, e.value);
            break;
        case Kind::timeSignature:
            timeSignature(e);
            break;
        case Kind::keySignature:
            music_.keys.emplace_back(e.tick, e.value, e.b != 0);
            break;
        case Kind::endOfTrack:
            break;
    }
}

void EventReader::noteOn(std::uint32_t track, const MidiEvent& e) {
    auto& list = open_[{track, e.channel, e.a}];
    FileNote n;
    n.start = e.tick;
    n.key = e.a;
    n.velocity = e.b;
    n.program = program_[e.channel];
    n.drum = e.channel == kPercussionChannel;
    n.stream = (track << 4) | e.channel;  // by track, then channel
    // A key struck again while it sounds ends the note before.
    for (auto& before : list) {
        before.end = e.tick;
        music_.notes.push_back(before);
    }
    list.assign(1, n);
}

void EventReader::noteOff(std::uint32_t track, const MidiEvent& e) {
    auto it = open_.find({track, e.channel, e.a});
    if (it == open_.end() || it->second.empty()) return;
    for (auto& n : it->second) {
        n.end = e.tick;
        music_.notes.push_back(n);
    }
    it->second.clear();
}

void EventReader::timeSignature(const MidiEvent& e) {
    const int unit = 192 >> e.b;
    if (e.b > 6 || unit * e.a > 255 * 8) {
        ++losses_.odd;
        return;
    }
    music_.barLengths.emplace_back(e.tick, unit * e.a);
    if (music_.meterName.empty()) {
        music_.meterName = std::to_string(e.a) + "/" + std::to_string(1 << e.b);
    }
}

void EventReader::finish() {
    for (auto& [where, list] : open_) {
        for (auto& n : list) {
            n.end = music_.trackEnd[std::get<0>(where)];
            ++losses_.unended;
            music_.notes.push_back(n);
        }
    }
}

FileMusic readMusic(const MidiSong& song, Losses& losses) {
    FileMusic music;
    const std::vector<TimedEvent> timed = eventsInTimeOrder(song, music.trackEnd);
    EventReader reader(music, losses);
    for (const TimedEvent& t : timed) reader.take(t);
    reader.finish();
    std::stable_sort(music.keys.begin(), music.keys.end(),
                     [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    if (music.notes.empty()) throw MidiFormatError("the file holds no notes");
    if (music.meterName.empty()) music.meterName = "4/4";
    return music;
}

// The notes onto the grid, each at least a tick long, in the order of start,
// the higher key first.
void notesOntoGrid(std::vector<FileNote>& notes, Grid& grid, Losses& losses) {
    for (auto& n : notes) {
        n.start = grid(n.start);
        n.end = grid(n.end);
        if (n.end <= n.start) {
            n.end = n.start + 1;
            ++losses.lengthened;
        }
    }
    std::sort(notes.begin(), notes.end(), [](const FileNote& a, const FileNote& b) {
        return a.start != b.start ? a.start < b.start : a.key > b.key;
    });
}

// A file's note as a voice plays it: a drum key as its noise, a pitched key
// moved by octaves into the score's range, a program as its instrument.
VoiceNote voiceNoteOf(const FileNote& n, Losses& losses) {
    VoiceNote v;
    v.start = n.start;
    v.end = n.end;
    v.loudness = loudnessOfVelocity(n.velocity);
    if (n.drum) {
        const DrumRate rate = kDrumRates[static_cast<std::size_t>(n.key)];
        if (!rate.exact) ++losses.standIns[n.key];
        v.note = 73 + rate.rate;
        return v;
    }
    int note = n.key - 23;
    if (note < 1 || note > 71) ++losses.folded;
    while (note < 1) note += 12;
    while (note > 71) note -= 12;
    v.note = note;
    if (n.program >= 0) v.instrument = kProgramInstruments[static_cast<std::size_t>(n.program)];
    return v;
}

using VoiceNotes = std::array<std::vector<VoiceNote>, kVoices>;

// The notes spread over the five voices (spreadVoices), each voice's in the
// order of start; what no voice can take is dropped.
VoiceNotes notesOnVoices(const std::vector<FileNote>& notes, Losses& losses) {
    std::vector<SpreadNote> spread;
    spread.reserve(notes.size());
    for (const auto& n : notes) spread.push_back({n.start, n.end, n.key, n.stream});
    const std::vector<int> voiceOf = spreadVoices(spread);
    VoiceNotes voices;
    for (std::size_t i = 0; i < notes.size(); ++i) {
        if (voiceOf[i] < 0) {
            losses.dropped.push_back(notes[i].start);
            continue;
        }
        voices[static_cast<std::size_t>(voiceOf[i])].push_back(voiceNoteOf(notes[i], losses));
    }
    for (auto& list : voices) {
        std::sort(list.begin(), list.end(),
                  [](const VoiceNote& a, const VoiceNote& b) { return a.start < b.start; });
        // Two attacks of one note back to back would sound as one: the first
        // gives up its last tick.
        for (std::size_t i = 0; i + 1 < list.size(); ++i) {
            if (list[i].end == list[i + 1].start && list[i].note == list[i + 1].note &&
                list[i].end - list[i].start >= 2) {
                --list[i].end;
            }
        }
    }
    return voices;
}

// The music lasts to its last note or to the end of its longest track,
// silence at the end included.
std::uint64_t musicEndOf(const VoiceNotes& voices, const std::vector<std::uint64_t>& trackEnd,
                         Grid& grid) {
    std::uint64_t end = 0;
    for (const auto& list : voices) {
        if (!list.empty()) end = std::max(end, list.back().end);
    }
    for (const std::uint64_t t : trackEnd) end = std::max(end, grid(t));
    return end;
}

// The tempo the score starts with (the first tempo event's) and the later
// changes, each of which starts a part.
struct TempoPlan {
    double first = 500000.0;  // microseconds a quarter
    Tempo start{};
    std::vector<std::pair<std::uint64_t, Tempo>> changes;  // score tick, tempo
    double worst = 0;  // the largest error of a tempo kept, as a fraction of it
};

TempoPlan planTempo(std::vector<std::pair<std::uint64_t, double>> tempos, Grid& grid,
                    std::uint64_t musicEnd, const Tables& tables) {
    std::stable_sort(tempos.begin(), tempos.end());
    TempoPlan plan;
    if (!tempos.empty()) plan.first = tempos.front().second;
    plan.start = nearestTempo(plan.first, tables);
    plan.worst = std::abs(plan.start.microseconds - plan.first) / plan.first;
    Tempo current = plan.start;
    for (std::size_t i = 1; i < tempos.size(); ++i) {
        const std::uint64_t at = grid(tempos[i].first);
        const Tempo t = nearestTempo(tempos[i].second, tables);
        plan.worst =
            std::max(plan.worst, std::abs(t.microseconds - tempos[i].second) / tempos[i].second);
        if (at == 0 || at >= musicEnd) continue;
        if (t.tempoIndex == current.tempoIndex && t.beatUnit == current.beatUnit) continue;
        if (!plan.changes.empty() && plan.changes.back().first == at) {
            plan.changes.back().second = t;
        } else {
            plan.changes.emplace_back(at, t);
        }
        current = t;
    }
    return plan;
}

// Bar lengths from where they change: (score tick, ticks), 4/4 from the start.
using Meter = std::vector<std::pair<std::uint64_t, int>>;

Meter meterOf(std::vector<std::pair<std::uint64_t, int>> barLengths, Grid& grid,
              std::uint64_t musicEnd) {
    std::stable_sort(barLengths.begin(), barLengths.end());
    Meter meter{{0, 192}};
    for (const auto& [tick, ticks] : barLengths) {
        const std::uint64_t at = grid(tick);
        if (at >= musicEnd) continue;
        if (meter.back().first == at) {
            meter.back().second = ticks;
        } else if (meter.back().second != ticks) {
            meter.emplace_back(at, ticks);
        }
    }
    return meter;
}

// Where in a bar the notes of the first meter begin, summed over its bars:
// their lengths, how much louder than their stream's average they are, and
// how many begin there.
struct BarProfile {
    std::vector<double> length;
    std::vector<double> accent;
    std::vector<int> onsets;
};

BarProfile profileOf(const std::vector<FileNote>& notes, int barLength, std::uint64_t regionEnd) {
    std::map<std::uint32_t, std::pair<double, int>> loudness;  // by stream: sum, count
    for (const auto& n : notes) {
        auto& [sum, count] = loudness[n.stream];
        sum += n.velocity;
        ++count;
    }
    const auto size = static_cast<std::size_t>(barLength);
    BarProfile profile{std::vector<double>(size, 0.0), std::vector<double>(size, 0.0),
                       std::vector<int>(size, 0)};
    for (const auto& n : notes) {
        if (n.start >= regionEnd) continue;
        const auto& [sum, count] = loudness[n.stream];
        const auto phase =
            static_cast<std::size_t>(n.start % static_cast<std::uint64_t>(barLength));
        profile.length[phase] += static_cast<double>(n.end - n.start);
        profile.accent[phase] += n.velocity - sum / count;
        ++profile.onsets[phase];
    }
    return profile;
}

// A pickup: where the music starts off the beat, the first bar is short.
// The downbeat is where a stream's notes are accented (louder than the
// stream's own average), or, where nothing is accented, where the long notes
// fall. Answers the length of the pickup bar, 0 for none.
std::uint64_t pickupOf(const std::vector<FileNote>& notes, const Meter& meter,
                       std::uint64_t musicEnd) {
    const int barLength = meter.front().second;
    const std::uint64_t regionEnd = meter.size() > 1 ? meter[1].first : musicEnd;
    const int unit = std::min(24, barLength);
    const BarProfile profile = profileOf(notes, barLength, regionEnd);
    const int barCount = static_cast<int>(regionEnd / static_cast<std::uint64_t>(barLength));
    std::uint64_t pickup = 0;
    std::optional<std::size_t> accented;
    double strongest = 4.0;  // velocity steps above the average that count as an accent
    for (int p = 0; p < barLength; p += unit) {
        const auto i = static_cast<std::size_t>(p);
        if (profile.onsets[i] == 0 || profile.onsets[i] * 2 < barCount) continue;
        if (profile.accent[i] / profile.onsets[i] > strongest) {
            strongest = profile.accent[i] / profile.onsets[i];
            accented = i;
        }
    }
    if (accented) {
        pickup = *accented;
    } else {
        double best = profile.length[0] * 1.25;
        for (int p = unit; p < barLength; p += unit) {
            if (profile.length[static_cast<std::size_t>(p)] > best) {
                best = profile.length[static_cast<std::size_t>(p)];
                pickup = static_cast<std::uint64_t>(p);
            }
        }
    }
    return pickup >= regionEnd ? 0 : pickup;
}

// The key the score starts in, sharps (negative: flats) and whether minor:
// the first key signature's, or without one the key that fits the notes.
std::pair<int, bool> startKey(const FileMusic& music) {
    if (music.keys.empty()) return {guessKey(music.notes), false};
    return {std::get<1>(music.keys.front()), std::get<2>(music.keys.front())};
}

// Where the bars begin: after the pickup, every bar length of the meter,
// and where the tempo changes; the last line where the music ends.
std::vector<std::uint64_t> barLines(std::uint64_t pickup, const Meter& meter,
                                    const TempoPlan& tempo, std::uint64_t musicEnd) {
    std::vector<std::uint64_t> lines{0};
    if (pickup > 0) lines.push_back(pickup);
    for (std::size_t m = 0; m < meter.size(); ++m) {
        const std::uint64_t from = m == 0 ? pickup : meter[m].first;
        const std::uint64_t to = m + 1 < meter.size() ? meter[m + 1].first : musicEnd;
        for (std::uint64_t at = from; at < to; at += static_cast<std::uint64_t>(meter[m].second)) {
            lines.push_back(at);
        }
        lines.push_back(to);
    }
    for (const auto& [at, t] : tempo.changes) lines.push_back(at);
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

// The bars between the lines, each with its tempo, whether it starts a part,
// and the key signature that starts with it.
std::vector<Bar> barsOf(const std::vector<std::uint64_t>& lines, const TempoPlan& tempo,
                        const std::vector<std::tuple<std::uint64_t, int, bool>>& keys, Grid& grid,
                        std::uint64_t musicEnd) {
    std::vector<Bar> bars;
    std::size_t change = 0, key = 1;
    Tempo now = tempo.start;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        Bar bar;
        bar.start = lines[i];
        bar.end = std::min(lines[i + 1], musicEnd);
        if (bar.start >= bar.end) break;
        while (change < tempo.changes.size() && tempo.changes[change].first <= bar.start) {
            now = tempo.changes[change].second;
            bar.newPart = true;
            ++change;
        }
        bar.tempoIndex = now.tempoIndex;
        bar.beatUnit = now.beatUnit;
        while (key < keys.size() && grid(std::get<0>(keys[key])) <= bar.start) {
            bar.key = std::get<1>(keys[key]);
            ++key;
        }
        bars.push_back(bar);
    }
    return bars;
}

// The comment lines that name the file, its meter, key and tempo, and the
// first line of settings.
std::string headerText(const std::string& sourceName, const std::string& meterName, int sharps,
                       bool minor, const TempoPlan& tempo) {
    char line[128];
    std::snprintf(line, sizeof line, ": %s, %s, %.0f quarter notes a minute\n", meterName.c_str(),
                  keyName(sharps, minor).c_str(), 60e6 / tempo.first);
    // A line end in the file's name would end the comment.
    std::string name = sourceName;
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return "/ Imported from " + name + line +
           "/ One line a bar, voices in order; each voice counts its steps from its own octave\n" +
           "O1 " + tempoText(tempo.start) + (sharps != 0 ? " " + keyText(sharps) + " M" : "") +
           "\n";
}

// "4 notes dropped: more than five at once in bars 1–2", with the beat where
// all were in one place.
std::string droppedLine(const std::vector<std::uint64_t>& dropped, const std::vector<Bar>& bars) {
    std::uint32_t first = 0, last = 0;
    std::set<std::uint64_t> beats;  // quarter beats from the start of the bar
    for (const std::uint64_t at : dropped) {
        const auto bar =
            std::upper_bound(bars.begin(), bars.end(), at,
                             [](std::uint64_t t, const Bar& b) { return t < b.start; });
        const auto number = static_cast<std::uint32_t>(bar - bars.begin());
        if (first == 0 || number < first) first = number;
        last = std::max(last, number);
        beats.insert((at - (bar - 1)->start) / kImportQuarter + 1);
    }
    std::string where = barsText(first, last);
    if (first == last && beats.size() == 1) where += ", beat " + std::to_string(*beats.begin());
    return counted(dropped.size(), "note") + " dropped: more than five at once in " + where;
}

// "3 drum notes on keys without a noise rate of their own (44, 51) played by
// the nearest drum".
std::string standInLine(const std::map<int, std::uint32_t>& standIns) {
    std::uint32_t count = 0;
    std::string list;
    for (const auto& [k, c] : standIns) {
        count += c;
        list += (list.empty() ? "" : ", ") + std::to_string(k);
    }
    return counted(count, "drum note") + " on keys without a noise rate of their own (" + list +
           ") played by the nearest drum";
}

// One line for each kind of thing not kept exactly.
std::vector<std::string> reportOf(const Losses& losses, double largestMove, const TempoPlan& tempo,
                                  const std::vector<Bar>& bars) {
    std::vector<std::string> report;
    char line[160];
    if (!losses.dropped.empty()) report.push_back(droppedLine(losses.dropped, bars));
    if (largestMove > 1e-9) {
        std::snprintf(
            line, sizeof line,
            "onsets and ends moved by up to %.2f of a tick onto the grid of 48 ticks a quarter",
            largestMove);
        report.push_back(line);
    }
    if (losses.lengthened > 0) {
        report.push_back(counted(losses.lengthened, "note") +
                         " shorter than a tick lengthened to one tick");
    }
    if (losses.moved > 0) {
        report.push_back(counted(losses.moved, "one-tick length") +
                         " the score cannot write moved by a tick into a neighbour");
    }
    if (tempo.worst > 0.001) {
        std::snprintf(line, sizeof line,
                      "tempo kept within %.1f%% (%s for %.0f quarter notes a minute)",
                      tempo.worst * 100, tempoText(tempo.start).c_str(), 60e6 / tempo.first);
        report.push_back(line);
    }
    if (losses.otherPrograms > 0) {
        report.push_back(counted(losses.otherPrograms, "note") +
                         " play with their voice's first instrument of the part: a voice "
                         "keeps one instrument in a part");
    }
    if (losses.folded > 0) {
        report.push_back(counted(losses.folded, "note") +
                         " outside C1 to A#6 moved by octaves into it");
    }
    if (!losses.standIns.empty()) report.push_back(standInLine(losses.standIns));
    if (losses.unended > 0) {
        report.push_back(counted(losses.unended, "note") +
                         " without a note-off end with their track");
    }
    if (losses.odd > 0) {
        report.push_back(counted(losses.odd, "time signature") + " too long for a bar ignored");
    }
    return report;
}

}  // namespace

ImportedScore importMidi(const MidiSong& song, const std::string& sourceName) {
    Losses losses;
    Grid grid(song.division);
    FileMusic music = readMusic(song, losses);
    notesOntoGrid(music.notes, grid, losses);
    const VoiceNotes voices = notesOnVoices(music.notes, losses);
    const std::uint64_t musicEnd = musicEndOf(voices, music.trackEnd, grid);

    const TempoPlan tempo =
        planTempo(music.tempos, grid, musicEnd, buildTables(kDefaultInstruments));
    const Meter meter = meterOf(music.barLengths, grid, musicEnd);
    const std::uint64_t pickup = pickupOf(music.notes, meter, musicEnd);
    const auto [sharps, minor] = startKey(music);
    const std::vector<Bar> bars =
        barsOf(barLines(pickup, meter, tempo, musicEnd), tempo, music.keys, grid, musicEnd);

    ImportedScore result;
    result.text = headerText(sourceName, music.meterName, sharps, minor, tempo);
    ScoreWriter writer(result.text, voices);
    writer.score(bars, sharps, musicEnd);
    losses.moved = writer.moved_;
    losses.folded += writer.folded_;
    losses.otherPrograms = writer.otherPrograms_;
    result.report = reportOf(losses, grid.largestMove(), tempo, bars);
    return result;
}

}  // namespace quarvel
