// The product renderer against the plain per-frame reference: the same
// frames, the same CRC, the same frame count and the same sink calls, on
// hand-written scores and on a few hundred generated ones in every dialect
// and from various start parts. Long renders are stopped after a bounded
// number of frames, which also exercises the stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "output/render_loop.h"
#include "support/reference_renderer.h"
#include "synth/player.h"

namespace quarvel {
namespace {

constexpr std::size_t kCap = 6 * kBufferFrames;

struct Outcome {
    std::vector<std::uint32_t> frames;  // as handed over, for checks on the music itself
};

// A player pulled in chunks of random sizes gives the reference frames; a
// seek to a bar, or to any frame, gives the frames the whole rendering has
// from there.
void expectPulledAndSoughtIdentical(const CompiledScore& score, const Tables& tables, int startPart,
                                    const std::vector<std::uint32_t>& expected) {
    std::mt19937 random(static_cast<unsigned>(expected.size() * 31 + startPart));
    Player player(score, tables, startPart);
    std::vector<std::uint32_t> pulled(expected.size() + 1);
    std::size_t have = 0;
    while (have < expected.size()) {
        const std::size_t want =
            std::min<std::size_t>(expected.size() - have, 1 + random() % (random() % 2 ? 7 : 9000));
        const std::size_t got = player.render(pulled.data() + have, want);
        have += got;
        if (got < want) break;
    }
    pulled.resize(have);
    EXPECT_TRUE(pulled == expected) << "pulled frames differ";
    if (expected.size() < static_cast<std::size_t>(kCap)) {
        EXPECT_EQ(player.render(pulled.data(), 1), 0u) << "frames after the end";
        EXPECT_TRUE(player.atEnd());
        EXPECT_EQ(player.totalFrames(), expected.size());
    }

    const auto from = [&](std::uint64_t start, const char* what) {
        const std::size_t count = std::min<std::size_t>(expected.size() - start, 3000);
        std::vector<std::uint32_t> got(count);
        EXPECT_EQ(player.render(got.data(), count), count) << what;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin() + start))
            << what << " " << start << ": frames differ";
    };
    const auto& bars = score.sourceMap.bars;
    for (std::size_t b : {std::size_t{0}, bars.size() / 2, bars.size() - 1}) {
        if (b >= bars.size()) continue;
        const auto start = player.timeline().startOfBar(b);
        if (!start || *start >= expected.size()) continue;
        ASSERT_TRUE(player.seekBar(b));
        EXPECT_EQ(player.frame(), *start);
        from(*start, "from bar");
    }
    if (!expected.empty()) {
        const std::uint64_t frame = random() % expected.size();
        player.seekFrame(frame);
        from(frame, "from frame");
    }
}

Outcome expectIdentical(const CompiledScore& score, int startPart, const std::string& label) {
    SCOPED_TRACE(label + ", start part " + std::to_string(startPart));
    const Tables tables = buildTables(score.instruments);
    RecordingSink product(kCap);
    RecordingSink reference(kCap);
    const RenderResult p = renderScore(score, tables, startPart, product);
    const RenderResult r = referenceRenderScore(score, tables, startPart, reference);
    EXPECT_TRUE(product.faults.empty()) << product.faults.front();
    EXPECT_EQ(product.shape(), reference.shape());
    EXPECT_EQ(p.samplesRendered, r.samplesRendered);
    EXPECT_EQ(p.streamCrc, r.streamCrc);
    const auto mismatch = std::mismatch(product.frames.begin(), product.frames.end(),
                                        reference.frames.begin(), reference.frames.end());
    if (mismatch.first != product.frames.end() || mismatch.second != reference.frames.end()) {
        ADD_FAILURE() << "frames differ from frame " << mismatch.first - product.frames.begin()
                      << " of " << product.frames.size() << " (reference "
                      << reference.frames.size() << ")";
    }
    // The portable frame loop, which machines without the vector one use.
    RecordingSink portable(kCap);
    const RenderResult q = renderScore(score, tables, startPart, portable, mixPortable);
    EXPECT_EQ(q.streamCrc, r.streamCrc);
    EXPECT_EQ(q.samplesRendered, r.samplesRendered);
    EXPECT_TRUE(portable.frames == reference.frames);
    expectPulledAndSoughtIdentical(score, tables, startPart, reference.frames);
    return {std::move(product.frames)};
}

CompiledScore compiled(const std::string& text, Dialect dialect) {
    try {
        return compileScore(SourceText(text), dialect);
    } catch (const CompileError& e) {
        ADD_FAILURE() << "compile error " << e.number << " at line " << e.line << " column "
                      << e.column << " (" << e.what << ") in:\n"
                      << text;
        return {};
    }
}

constexpr Dialect kDialects[] = {Dialect::combined, Dialect::quarvel, Dialect::lutera};
const char* const kDialectNames[] = {"combined", "quarvel", "lutera"};

// Three right-channel slots of a loud pattern instrument sum past 32767.
const char* const kWrapScore = "JAR40000001F JER80010002F V3 YA $ V4 YA $ V5 YA Q 5 V1 YE 3\n";
// Decay 1 at two frames a slice takes level 2 to 254 within the first note.
const char* const kSilenceScore = "JAT1 =02 H 1 1 1 V2 L0 W 5 M V3 LF W:. 7\n";

struct Written {
    const char* name;
    const char* text;
    std::vector<int> startParts;
};

const Written kWritten[] = {
    {"quarter note", "Q1", {0}},
    {"five voices and a chord progression",
     "V1 Q1 3 5 8 M V2 I-1 2 3 4 5 6 7 8 M V3 H0 -3 M V4 W:. -7 M V5 S 1 3 5 7 9 B 3 1\n",
     {0}},
    {"sharps, flats and naturals with a key",
     "K3# Q 3 4# 4 4% M K2& -3& -3&& 5## 3 M O2 M 3 4 M O1 V2 3# V3 3\n",
     {0}},
    {"articulation in every note mode",
     "I 1\" 2' 3, 4; $, @ 1' +5; 0 _ 5\" 6' +5' 0, 3# 2% M * X 1\" 2' 3, 4; S 1; 2\"\n",
     {0}},
    {"instruments, slot maps and noise",
     "JAS10000000F JBR80010002F JCR00010000F JDS00000000F YA Q 1 V2 YB 5 V3 YC _ 3 V4 YD 4 "
     "M Z5 Q 1 2 V5 YE 3 M Z9 (Q 1 V2 2 M )2\n",
     {0}},
    {"tempo, beat units and parts",
     "=02 NT Q 1 2 P05 =10 NH 3 4 P07 NS 5 6 R05 =FE NI 7 P 8 P09\n",
     {0, 5, 7, 9, 3}},
    {"replays keep their own settings",
     "P01 Q 1 2 R01 JAT2 =30 P02 YB 3 R02 P03 4\n",
     {0, 1, 2, 3}},
    {"transposition and step offsets",
     "<5 Q 1 G V2 U+F G V3 U-7 -F V4 U3 C M >F 1 +G 9 M <0 1\n",
     {0}},
    {"right channel wrap", kWrapScore, {0}},
    {"decay to silence", kSilenceScore, {0}},
};

TEST(RenderIdentity, HandWrittenScores) {
    for (const Written& w : kWritten) {
        for (int d = 0; d < 3; ++d) {
            const CompiledScore score = compiled(w.text, kDialects[d]);
            for (int start : w.startParts) {
                expectIdentical(score, start, std::string(w.name) + ", " + kDialectNames[d]);
            }
        }
    }
}

// The scores meant to reach the edges really do.
TEST(RenderIdentity, HandWrittenScoresReachWrapAndSilence) {
    const Outcome wrap = expectIdentical(compiled(kWrapScore, Dialect::combined), 0, "wrap");
    EXPECT_TRUE(std::any_of(wrap.frames.begin(), wrap.frames.end(),
                            [](std::uint32_t f) { return (f >> 16) == 0x8679; }));
    const Outcome quiet = expectIdentical(compiled(kSilenceScore, Dialect::combined), 0, "decay");
    ASSERT_FALSE(quiet.frames.empty());
    EXPECT_TRUE(std::any_of(quiet.frames.begin(), quiet.frames.end(),
                            [](std::uint32_t f) { return (f & 0xFFFF) != 0; }));
    EXPECT_EQ(quiet.frames.back(), 0u);
}

// Writes valid scores that use the whole language, at tempos fast enough for
// most of them to end within the frame cap.
class ScoreWriter {
  public:
    explicit ScoreWriter(std::uint32_t seed) : rng_(seed) {}

    std::string write() {
        for (int i = 0, n = pick(4); i < n; ++i) instrument();
        if (chance(35)) {
            // Loud pattern instruments on the right channel's voices: their sum
            // runs past the 16-bit range whenever all three sound at once.
            for (const char* letter : {"C", "D", "E"}) {
                std::string t = std::string("J") + letter + "R";
                for (int i = 0; i < 8; ++i) t += hex(pick(16));
                out_ += token(t + "F");
            }
            out_ += "V3 YC V4 YD V5 YE M ";
        }
        if (chance(50)) out_ += "JAT" + hex(pick(16)) + " ";
        tempo();
        for (int bars = 3 + pick(10); bars > 0; --bars) {
            if (chance(25)) setting();
            if (chance(12)) partCommand();
            if (chance(10)) {
                out_ += "(";
                inRepeat_ = true;  // later passes start in the mode the body ended in
                bar();
                inRepeat_ = false;
                out_ += ")" + hex(pick(3)) + space();
            } else {
                bar();
            }
        }
        if (chance(30)) partCommand();
        return out_;
    }

    std::vector<int> partNumbers;  // numbers given to "P"

  private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    static std::string hex(int v) { return std::string(1, "0123456789ABCDEF"[v]); }
    std::string hex2(int v) { return hex(v >> 4) + hex(v & 15); }
    std::string space() {
        const int k = pick(10);
        return k < 6 ? " " : k < 8 ? "\n" : k < 9 ? "\r\n" : "\t";
    }
    // Some tokens in lower case: the language folds letters.
    std::string token(std::string t) {
        if (chance(20)) {
            for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return t + (chance(80) ? space() : "");
    }

    void instrument() {
        std::string t = "J" + std::string(1, static_cast<char>('A' + pick(5)));
        t += chance(50) ? "R" : "S";
        for (int i = 0; i < 9; ++i) t += hex(chance(25) ? 0 : pick(16));
        out_ += token(t);
    }
    void tempo() {
        const int k = pick(10);
        const int hh = k < 7 ? 2 + pick(6) : k < 9 ? 2 + pick(60) : 2 + pick(254);
        out_ += token("=" + hex2(hh));
    }
    void setting() {
        switch (pick(9)) {
            case 0:
                out_ += token("K" + hex(pick(8)) + (chance(50) ? "#" : "&"));
                break;
            case 1:
                out_ += token("Z" + hex(pick(10)));
                break;
            case 2:
                out_ += token("O" + hex(pick(16)));
                break;
            case 3:
                out_ += token(std::string(chance(50) ? "<" : ">") + hex(pick(16)));
                break;
            case 4:
                out_ += token("N" + std::string(1, "HQIST"[pick(5)]));
                break;
            case 5:
                tempo();
                break;
            case 6:
                instrument();
                break;
            case 7:
                out_ += token("JBT" + hex(pick(16)));
                break;
            default:
                out_ += "/ a comment " + std::to_string(pick(99)) + "\n";
                break;
        }
    }
    // "P" with a fresh number, unnumbered, or "R" of a part already closed.
    void partCommand() {
        if (!partNumbers.empty() && chance(35)) {
            out_ += token("R" + hex2(partNumbers[pick(static_cast<int>(partNumbers.size()))]));
            return;
        }
        const int k = pick(3);
        if (k == 0) {
            out_ += "P" + std::string(chance(50) ? " " : "\n");
        } else if (k == 1) {
            out_ += token("P00");
        } else {
            int number;
            do number = 1 + pick(254);
            while (number == 0xEE ||
                   std::find(partNumbers.begin(), partNumbers.end(), number) != partNumbers.end());
            partNumbers.push_back(number);
            out_ += token("P" + hex2(number));
        }
    }
    void bar() {
        for (int v = 1; v <= 5; ++v) {
            if (v > 1 && chance(40)) continue;
            if (v > 1 || chance(30)) out_ += token("V" + hex(v));
            if (chance(20)) out_ += token("Y" + std::string(1, static_cast<char>('A' + pick(5))));
            if (chance(20)) out_ += token("L" + hex(pick(16)));
            if (chance(15)) {
                const int k = pick(3);
                out_ += token(k == 0 ? "U" + hex(pick(16))
                                     : std::string(k == 1 ? "U+" : "U-") + hex(pick(16)));
            }
            for (int n = 1 + pick(6); n > 0; --n) note();
        }
        out_ += "M" + (chance(30) ? std::to_string(pick(100)) : std::string()) +
                (chance(70) ? " " : "\n");
    }
    void note() {
        if (chance(20)) {
            mode_ = "*@_"[pick(3)];
            out_ += token(std::string(1, mode_));
        }
        if (chance(40)) out_ += token(duration());
        std::string t;
        if (chance(12)) {
            t = "$";
        } else {
            const int sign = pick(4);  // 0, 1: none; 2: "+"; 3: "-"
            if (sign == 2) t += "+";
            if (sign == 3) t += "-";
            const bool codeStillZero = sign == 2 || (sign < 2 && mode_ == '*' && !inRepeat_);
            t += codeStillZero && chance(10) ? "G" : hex(pick(16));
            static const char* const kMarks[] = {"",   "",   "",   "#",  "&", "%",
                                                 "##", "&&", "#&", "%#", "&%"};
            t += kMarks[pick(11)];
        }
        static const char* const kArticulation[] = {"", "", "", "\"", "'", ",", ";"};
        t += kArticulation[pick(7)];
        out_ += token(t);
    }
    std::string duration() {
        const char letter = "WHQISTX"[pick(7)];
        const int bases[] = {192, 96, 48, 24, 12, 6, 3};
        int base = bases[std::string("WHQISTX").find(letter)];
        const bool triplet = chance(30);
        int total = triplet ? base * 2 / 3 : base;
        std::string t(1, letter);
        if (triplet) t += ":";
        for (int dots = pick(3); dots > 0; --dots) {
            base /= 2;
            if (total + base > 255) break;
            total += base;
            t += ".";
        }
        return t;
    }

    std::mt19937 rng_;
    std::string out_;
    char mode_ = '*';
    bool inRepeat_ = false;
};

TEST(RenderIdentity, GeneratedScoresInEveryDialect) {
    int rendered = 0;
    int completed = 0;
    for (std::uint32_t seed = 1; seed <= 60; ++seed) {
        ScoreWriter writer(seed);
        const std::string text = writer.write();
        std::vector<int> starts{0, 0xEE};  // 0xEE is never given to a part
        if (!writer.partNumbers.empty()) {
            starts.push_back(writer.partNumbers[seed % writer.partNumbers.size()]);
        }
        for (int d = 0; d < 3; ++d) {
            const CompiledScore score = compiled(text, kDialects[d]);
            for (int start : starts) {
                const std::string label = "seed " + std::to_string(seed) + ", " + kDialectNames[d] +
                                          ", score:\n" + text + "\n";
                const Outcome o = expectIdentical(score, start, label);
                ++rendered;
                if (o.frames.size() < kCap) ++completed;
            }
        }
        if (HasFailure()) break;
    }
    // The cap must leave most renders whole, so that their ends are compared too.
    EXPECT_GT(completed, rendered / 2) << completed << " of " << rendered;
}

}  // namespace
}  // namespace quarvel
