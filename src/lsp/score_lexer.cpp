#include "lsp/score_lexer.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "compiler/source_reader.h"

namespace quarvel::lsp {

namespace {

class Cursor {
  public:
    Cursor(std::string_view text, LexedScore& out) : text_(text), out_(out) {}

    bool atEnd() const { return i_ >= text_.size(); }
    // The next character, line ends passed over; -1 at the end. The
    // character is coloured with the class given.
    int next(CharClass cls) {
        while (i_ < text_.size() && (text_[i_] == '\r' || text_[i_] == '\n')) ++i_;
        if (i_ >= text_.size()) return -1;
        last_ = i_;
        colour(i_, cls);
        return foldUpper(static_cast<std::uint8_t>(text_[i_++]));
    }
    // The next byte as it stands (line ends included); -1 at the end.
    int peekRaw() const {
        return i_ < text_.size() ? foldUpper(static_cast<std::uint8_t>(text_[i_])) : -1;
    }
    int peek() const {
        std::size_t j = i_;
        while (j < text_.size() && (text_[j] == '\r' || text_[j] == '\n')) ++j;
        return j < text_.size() ? foldUpper(static_cast<std::uint8_t>(text_[j])) : -1;
    }
    void skipBlanks() {
        while (i_ < text_.size() &&
               (text_[i_] == ' ' || text_[i_] == '\t' || text_[i_] == '\r' || text_[i_] == '\n'))
            ++i_;
    }
    std::size_t position() const { return i_; }
    std::size_t lastRead() const { return last_; }
    // Reads up to n characters for an argument.
    std::string argument(std::size_t n, CharClass cls = CharClass::argument) {
        std::string arg;
        for (std::size_t k = 0; k < n; ++k) {
            const int c = next(cls);
            if (c < 0) break;
            arg += static_cast<char>(c);
        }
        return arg;
    }

  private:
    void colour(std::size_t at, CharClass cls) {
        auto& runs = out_.runs;
        if (!runs.empty() && runs.back().cls == cls &&
            runs.back().offset + runs.back().length == at) {
            ++runs.back().length;
        } else {
            runs.push_back({at, 1, cls});
        }
    }

    std::string_view text_;
    LexedScore& out_;
    std::size_t i_ = 0;
    std::size_t last_ = 0;
};

bool isStep(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'G');
}

// The colour of a piece's first character.
CharClass classOf(int c) {
    switch (c) {
        case '/':
            return CharClass::comment;
        case '*':
        case '@':
        case '_':
            return CharClass::noteMode;
        case 'W':
        case 'H':
        case 'Q':
        case 'I':
        case 'S':
        case 'T':
        case 'X':
            return CharClass::duration;
        case 'M':
            return CharClass::barLine;
        case '$':
            return CharClass::rest;
        case '(':
        case ')':
        case '<':
        case '>':
        case '=':
        case 'J':
        case 'K':
        case 'L':
        case 'N':
        case 'O':
        case 'P':
        case 'R':
        case 'U':
        case 'V':
        case 'Y':
        case 'Z':
            return CharClass::command;
        default:
            return isStep(c) || c == '+' || c == '-' ? CharClass::note : CharClass::invalid;
    }
}

bool isHex(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int hexValue(int c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

}  // namespace

namespace {

// The lexer's walk over the text: what the text has set so far, and the
// notes waiting for their bar's transposition and step offsets (which hold
// for the whole bar).
class Lexer {
  public:
    explicit Lexer(std::string_view text) : in_(text, out_) {}

    LexedScore run() {
        for (;;) {
            in_.skipBlanks();
            if (in_.atEnd()) break;
            const CharClass cls = classOf(in_.peekRaw());
            const int c = in_.next(cls);
            Lexeme l;
            l.first = in_.lastRead();
            l.letter = static_cast<char>(c);
            l.kind = LexKind::command;
            l.voice = voice_;
            l.bar = bar_;
            if (cls == CharClass::duration) {
                duration(l);
            } else if (c == 'M') {
                barLine(l);
            } else if (!command(l, c)) {
                note(l, c);
            }
        }
        closeBar();
        return std::move(out_);
    }

  private:
    void push(Lexeme& l) {
        l.last = in_.lastRead();
        out_.lexemes.push_back(l);
    }

    void closeBar() {
        for (std::size_t k = barFirstNote_; k < out_.lexemes.size(); ++k) {
            Lexeme& l = out_.lexemes[k];
            if (l.kind != LexKind::note) continue;
            l.transpose = transpose_;
            l.stepOffset = stepOffset_[l.voice];
        }
        barFirstNote_ = out_.lexemes.size();
        voice_ = 0;
        ++bar_;
    }

    // A duration letter, as classOf knows them, with its triplet sign and dots.
    void duration(Lexeme& l) {
        l.kind = LexKind::duration;
        if (in_.peek() == ':') l.argument += static_cast<char>(in_.next(CharClass::duration));
        while (in_.peek() == '.') l.argument += static_cast<char>(in_.next(CharClass::duration));
        push(l);
    }

    // `M`, and what follows it up to the next blank, which is skipped.
    void barLine(Lexeme& l) {
        l.kind = LexKind::barLine;
        closeBar();
        l.last = l.first;
        out_.lexemes.push_back(l);
        const auto glued = [&] {
            return in_.peekRaw() >= 0 && in_.peekRaw() != ' ' && in_.peekRaw() != '\r' &&
                   in_.peekRaw() != '\n';
        };
        if (!glued()) return;
        Lexeme skipped = l;
        skipped.kind = LexKind::barText;
        skipped.first = in_.position();
        while (glued()) skipped.argument += static_cast<char>(in_.next(CharClass::barLine));
        push(skipped);
    }

    // Every command but the bar line, with its argument; what the settings
    // commands set is kept. False when `c` starts no command: a note or a rest.
    bool command(Lexeme& l, int c) {
        switch (c) {
            case '(':
                l.kind = LexKind::repeatOpen;
                break;
            case ')':
                l.kind = LexKind::repeatClose;
                l.argument = in_.argument(1);
                break;
            case '*':
            case '@':
            case '_':
                l.kind = LexKind::noteMode;
                noteMode_ = static_cast<char>(c);
                noteModeAt_ = l.first;
                noteModeVoice_ = voice_;
                break;
            case '/':
                l.kind = LexKind::comment;
                while (in_.peekRaw() >= 0 && in_.peekRaw() != '\r' && in_.peekRaw() != '\n') {
                    in_.next(CharClass::comment);
                }
                break;
            case '<':
            case '>':
                l.argument = in_.argument(1);
                if (l.argument.size() == 1 && isHex(l.argument[0])) {
                    const int v = hexValue(l.argument[0]);
                    transpose_ = static_cast<std::int8_t>(c == '<' ? -v : v);
                }
                break;
            case '=':
                l.argument = in_.argument(2);
                break;
            case 'J':
                l.argument = in_.argument(2);
                if (l.argument.size() == 2 && (l.argument[1] == 'R' || l.argument[1] == 'S')) {
                    l.argument += in_.argument(9);
                } else if (l.argument.size() == 2 && l.argument[1] == 'T') {
                    l.argument += in_.argument(1);
                }
                break;
            case 'K':
                l.argument = in_.argument(2);
                if (l.argument.size() == 2 && l.argument[0] >= '0' && l.argument[0] <= '7' &&
                    (l.argument[1] == '#' || l.argument[1] == '&')) {
                    keyCount_ = l.argument[0] - '0';
                    keySign_ = l.argument[1];
                }
                break;
            case 'L':
            case 'O':
            case 'N':
            case 'Y':
            case 'Z':
                l.argument = in_.argument(1);
                break;
            case 'V':
                l.argument = in_.argument(1);
                if (l.argument.size() == 1 && l.argument[0] >= '1' && l.argument[0] <= '5') {
                    voice_ = static_cast<std::uint8_t>(l.argument[0] - '1');
                }
                break;
            case 'U': {
                const int sign = in_.peek();
                if (sign == '+' || sign == '-')
                    l.argument += static_cast<char>(in_.next(CharClass::argument));
                l.argument += in_.argument(1);
                if (!l.argument.empty() && isHex(l.argument.back())) {
                    const int v = hexValue(l.argument.back());
                    stepOffset_[voice_] = static_cast<std::int8_t>(l.argument[0] == '+' ? v : -v);
                }
                break;
            }
            case 'P':
                closeBar();
                if (in_.peekRaw() > 0x20) l.argument = in_.argument(2);
                break;
            case 'R':
                closeBar();
                l.argument = in_.argument(2);
                break;
            default:
                return false;
        }
        push(l);
        return true;
    }

    // A note (a step with its octave sign, accidentals and articulation) or a
    // rest, with the settings it is read under.
    void note(Lexeme& l, int c) {
        l.kind = LexKind::note;
        l.noteMode = noteMode_;
        l.noteModeAt = noteModeAt_;
        l.noteModeVoice = noteModeVoice_;
        l.keyCount = keyCount_;
        l.keySign = keySign_;
        if (c == '$') {
            l.kind = LexKind::rest;
        } else {
            int degree = c;
            if (c == '-' || c == '+') {
                const int after = in_.peek();
                degree = after < 0 ? after
                                   : in_.next(isStep(after) ? CharClass::note : CharClass::invalid);
            }
            if (!isStep(degree)) {
                // The compiler stops here; read on.
                l.kind = LexKind::invalid;
                push(l);
                return;
            }
            l.afterStep = in_.position();
            for (int k = 0; k < 2; ++k) {
                const int a = in_.peek();
                if (a != '#' && a != '&' && a != '%') break;
                l.argument += static_cast<char>(in_.next(CharClass::accidental));
            }
        }
        const int mark = in_.peek();
        if (mark == '\'' || mark == '"' || mark == ',' || mark == ';') {
            in_.next(CharClass::articulation);
        }
        push(l);
    }

    LexedScore out_;
    Cursor in_;
    std::uint8_t voice_ = 0;
    std::int8_t transpose_ = 0;
    std::array<std::int8_t, 5> stepOffset_{};
    char noteMode_ = '*';
    std::size_t noteModeAt_ = SIZE_MAX;
    std::uint8_t noteModeVoice_ = 0;
    int keyCount_ = 0;
    char keySign_ = '#';
    std::size_t bar_ = 0;
    std::size_t barFirstNote_ = 0;
};

}  // namespace

LexedScore lexScore(std::string_view text) {
    return Lexer(text).run();
}

const Lexeme* lexemeAt(const LexedScore& lexed, std::size_t offset) {
    const auto& all = lexed.lexemes;
    auto after = std::upper_bound(all.begin(), all.end(), offset,
                                  [](std::size_t o, const Lexeme& l) { return o < l.first; });
    if (after == all.begin()) return nullptr;
    const Lexeme& l = *(after - 1);
    if (offset <= l.last) return &l;
    return nullptr;
}

}  // namespace quarvel::lsp
