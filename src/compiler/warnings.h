// Warnings for the language's traps: the catalogue of names and defaults, the
// sets that --warn and --no-warn build, and the bookkeeping the compiler keeps
// to notice each trap. The checks themselves are ScoreCompiler members defined
// in warnings.cpp; the compiler only calls them where a trap can happen.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "compiler/score_image.h"

namespace quarvel {

struct WarningInfo {
    WarningKind kind;
    std::string_view name;
    bool onByDefault;
    std::string_view summary;  // one line, for the usage and the manual
};

// Every warning, in the order of WarningKind.
const std::array<WarningInfo, kWarningKinds>& warningCatalogue();
const WarningInfo& warningInfo(WarningKind kind);
std::optional<WarningKind> warningNamed(std::string_view name);

// At most this many warnings of one kind are kept; a score that folds every
// note must not fill memory with messages.
inline constexpr std::size_t kWarningsKept = 200;

using WarningSet = std::bitset<kWarningKinds>;
WarningSet defaultWarnings();
// Turns the warnings of a comma list ("all" for every one) on or off. An
// unknown name leaves the set as it was and is returned.
std::optional<std::string> applyWarningSwitch(WarningSet& set, std::string_view names, bool on);

// The start part (-g) when no part carries its number: nothing would play.
std::optional<Warning> startPartWarning(const CompiledScore& score, int startPart);

// A duration in words: "48 ticks, a quarter note".
std::string describeTicks(std::uint32_t ticks);
// A note number as a name and octave, middle C (37) being "C4".
std::string noteName(int note);

// What the compiler remembers between the places where traps show.
struct WarningState {
    std::vector<Warning> list;
    std::array<std::size_t, kWarningKinds> kept{};
    std::array<bool, kWarningKinds> cut{};
    std::unordered_set<std::uint64_t> seen;  // kind and offset of every warning kept

    // Note mode: the voice current when "*", "@" or "_" was last written (-1:
    // never), where, and which.
    int noteModeVoice = -1;
    TextPoint noteModeAt;
    std::uint8_t noteModeChar = 0;
    bool voiceChosen = false;  // a "V" has been read
    // The note mode each voice chose itself: set by "*", "@" or "_" while the
    // voice is current, or by one before any note for every voice; otherwise
    // the mode of its first step (0xFF: none yet). And the mode another voice
    // forced on it that has been reported, until it reads a step in its own
    // mode again (0xFF: none).
    std::array<std::uint8_t, kVoices> ownMode{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::array<std::uint8_t, kVoices> reportedMode{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

    // Durations: the voice current at the last duration letter (-1: none
    // yet), each voice's last note length, and whether the current voice has
    // had a note since "V" or the bar line made it current.
    int durationVoice = -1;
    TextPoint durationAt;
    std::array<std::uint8_t, kVoices> voiceDuration{};
    bool voiceFresh = true;
    bool noDurationWarned = false;

    // Accidental memory: the voice (1..5) whose accidental last wrote each
    // scale step of the shared row since it was refilled; 0 for none.
    std::array<std::uint8_t, kScaleSteps> accidentalVoice{};
    std::array<std::size_t, kScaleSteps> accidentalAt{};  // offsets of the tokens
    // The accidental memory each voice would have on its own (option 1):
    // where the shared one differs, another voice's accidental changed a note.
    std::array<std::array<std::int8_t, kScaleSteps>, kVoices> ownAccidentals{};
    // One warning per voice and merge: the index of the one kept for this
    // merge (-1: none yet; -2: this place was reported in an earlier pass),
    // the notes it stands for besides its own, and the last token counted.
    std::array<int, kVoices> accidentalWarning{-1, -1, -1, -1, -1};
    std::array<int, kVoices> accidentalMore{};
    std::array<std::size_t, kVoices> accidentalToken{};

    // Equal notes joined. Ticks count over the whole text (merge after
    // merge); per voice: the tick its sounding note was struck, the token of
    // its last note in the merges before (offset and length), and the joins
    // that wait for the end of the sound to know how long it is.
    struct Join {
        std::size_t token;
        std::uint8_t tokenLength;  // with its articulation mark
        std::size_t joinedTo;
        std::uint8_t joinedToLength;
        std::uint64_t tick;  // where the piece starts, from the start of the text
        bool acrossBar;
        bool noise;  // a noise note: the quote marks keep a burst
    };
    std::uint64_t ticksBefore = 0;
    std::array<std::uint64_t, kVoices> struckTick{};
    std::array<std::size_t, kVoices> lastToken{};
    std::array<std::uint8_t, kVoices> lastTokenLength{};
    std::array<std::vector<Join>, kVoices> joins;
    std::uint8_t pendingJoins = 0;  // bit v: joins[v] is not empty

    // Ticks queued per voice since the last merge.
    std::array<std::uint32_t, kVoices> voiceTicks{};
    // The place of the command that merges (bar line, part command); line 0 at
    // the end of the text.
    TextPoint mergeAt;

    std::optional<TextPoint> keyAt;     // a "K" that changed the key, until the bar line
    std::optional<TextPoint> replayAt;  // an "R", until the next part closes
    std::optional<TextPoint> repeatAt;  // a "(" whose ")" has not yet ended it

    // Redefinitions: the tokens read when the part opened, and per
    // instrument letter where and after how many tokens it was last defined.
    std::size_t partFirstToken = 0;
    std::array<std::optional<TextPoint>, kVoices> instrumentAt{};
    std::array<std::size_t, kVoices> instrumentTokens{};
    std::array<bool, kVoices> voiceSoundedInPart{};

    // The token of the queue entry the merger is resolving.
    std::size_t mergeToken = 0;  // its first byte
};

}  // namespace quarvel
