#include "lsp/score_facts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "compiler/warnings.h"
#include "lsp/naming.h"
#include "synth/score_walk.h"

namespace quarvel::lsp {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int hexByte(const std::string& s) {
    if (s.size() != 2 || hexValue(s[0]) < 0 || hexValue(s[1]) < 0) return -1;
    return hexValue(s[0]) * 16 + hexValue(s[1]);
}

std::string timeText(std::uint64_t frame) {
    const double seconds = static_cast<double>(frame) / kFrameRate;
    const auto minutes = static_cast<long>(seconds / 60);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%04.1f", minutes,
                  seconds - 60.0 * static_cast<double>(minutes));
    return text;
}

std::string placeText(const Analysis& a, std::size_t offset) {
    const LinePosition p = a.lines.positionOf(offset);
    return std::to_string(p.line + 1) + ":" + std::to_string(p.character + 1);
}

bool isPart(const Lexeme& l) {
    return l.kind == LexKind::command && l.letter == 'P';
}
bool isReplay(const Lexeme& l) {
    return l.kind == LexKind::command && l.letter == 'R';
}
bool isDefinition(const Lexeme& l) {
    return l.kind == LexKind::command && l.letter == 'J' && l.argument.size() >= 2 &&
           (l.argument[1] == 'R' || l.argument[1] == 'S');
}
bool isChoice(const Lexeme& l) {
    return l.kind == LexKind::command && l.letter == 'Y' && l.argument.size() == 1;
}

// The lexemes that close a bar or a part: where symbols and folds end.
bool closesPart(const Lexeme& l) {
    return isPart(l) || isReplay(l);
}

// The places a message names as "line L:C": line, column and the words.
struct NamedPlace {
    std::int64_t line;
    std::int64_t column;
    std::string text;
};
std::vector<NamedPlace> placesNamed(const std::string& message) {
    std::vector<NamedPlace> out;
    for (std::size_t at = message.find("line "); at != std::string::npos;
         at = message.find("line ", at + 1)) {
        std::size_t i = at + 5;
        const auto number = [&](std::int64_t& value) {
            const std::size_t first = i;
            value = 0;
            while (i < message.size() && i - first < 12 &&
                   std::isdigit(static_cast<unsigned char>(message[i]))) {
                value = value * 10 + (message[i++] - '0');
            }
            return i > first;
        };
        std::int64_t line = 0, column = 0;
        if (!number(line) || i >= message.size() || message[i++] != ':' || !number(column)) {
            continue;
        }
        out.push_back({line, column, message.substr(at, i - at)});
    }
    return out;
}

}  // namespace

const std::vector<std::string>& semanticTokenTypes() {
    static const std::vector<std::string> types{"comment",  "keyword",   "parameter", "number",
                                                "operator", "decorator", "type",      "enumMember",
                                                "modifier", "label",     "regexp"};
    return types;
}

Analysis::Analysis(std::string source, Dialect dialect) : text(std::move(source)), lines(text) {
    try {
        score = compileScore(SourceText(text), dialect,
                             CompileOptions{.keepNotes = true, .warnings = WarningSet().set()});
        warnings = score->warnings;
    } catch (const CompileError& e) {
        error = e;
        warnings = e.warnings;
    }
    if (error) {
        // The music before the fault still sounds as written: compile the
        // text up to the piece that holds it, for hovers and pitch names.
        std::size_t cut = std::min(error->where.offset, text.size());
        if (const Lexeme* l = lexemeAt(lexed(), cut)) cut = l->first;
        try {
            score = compileScore(SourceText(std::string_view(text).substr(0, cut)), dialect,
                                 CompileOptions{.keepNotes = true, .warnings = WarningSet()});
        } catch (const CompileError&) {
            return;
        }
    }
}

void Analysis::layOut() const {
    if (tables_ || !score) return;
    tables_ = buildTables(score->instruments);
    timeline_ = std::make_unique<Timeline>(*score, *tables_, 0);
    const SourceMap& map = score->sourceMap;
    for (std::size_t i = 0; i < map.notes.size(); ++i) {
        const auto token = map.notes[i].token;
        if (token < map.tokens.size()) {
            notesByToken_[map.tokens[token].first.offset].push_back(static_cast<std::uint32_t>(i));
        }
    }
}

const LexedScore& Analysis::lexed() const {
    if (!lexed_) lexed_ = lexScore(text);
    return *lexed_;
}

const Tables& Analysis::tables() const {
    layOut();
    return *tables_;
}

const Timeline& Analysis::timeline() const {
    layOut();
    return *timeline_;
}

Json Analysis::position(std::size_t offset) const {
    const LinePosition p = lines.positionOf(offset);
    return {{"line", p.line}, {"character", p.character}};
}

Json Analysis::range(std::size_t first, std::size_t endOffset) const {
    return {{"start", position(first)}, {"end", position(endOffset)}};
}

std::size_t Analysis::offsetOf(const Json& p) const {
    LinePosition at;
    if (p.is_object()) {
        const auto line = p.find("line");
        const auto character = p.find("character");
        if (line != p.end() && line->is_number_integer()) at.line = line->get<std::int64_t>();
        if (character != p.end() && character->is_number_integer()) {
            at.character = character->get<std::int64_t>();
        }
    }
    return lines.offsetOf(at);
}

const std::vector<std::uint32_t>* Analysis::notesOfToken(std::size_t offset) const {
    layOut();
    const auto found = notesByToken_.find(offset);
    return found == notesByToken_.end() ? nullptr : &found->second;
}

std::optional<NoteFacts> noteFacts(const Analysis& a, const Lexeme& l) {
    if (!a.score) return std::nullopt;
    const auto* entries = a.notesOfToken(l.first);
    if (!entries || entries->empty()) return std::nullopt;
    const SourceMap& map = a.score->sourceMap;
    const ScoreImage& image = a.score->image;
    const NoteSource& first = map.notes[entries->front()];
    NoteFacts facts;
    facts.voice = first.voice;
    for (const auto i : *entries) {
        const NoteSource& n = map.notes[i];
        if (n.bar == first.bar) facts.ticks += n.ticks;
        if (facts.bars.empty() || facts.bars.back() != n.bar + 1u) facts.bars.push_back(n.bar + 1u);
    }
    const BarSource& bar = map.bars[first.bar];
    const int slot = kSlotMaps[bar.slotMapIndex][first.voice];
    std::uint32_t tick = 0;
    for (std::size_t e = bar.firstEvent; e < bar.firstEvent + bar.eventCount; ++e) {
        if (tick == first.startTick) {
            facts.note = (first.code & 0x70) == 0x70 ? 0 : image.events[e].note[slot];
            break;
        }
        tick += image.events[e].duration;
    }
    if (const auto start = a.timeline().startOfBar(first.bar)) {
        const auto where = a.timeline().at(*start);
        const PartHeader& part = image.parts[where ? where->partIndex : 0];
        facts.startFrame = *start + first.startTick * framesPerTickOf(a.tables(), part);
    }
    return facts;
}

const NotatedNote* Analysis::notatedAt(std::size_t offset) const {
    if (!score) return nullptr;
    if (!notated_) {
        notated_ = notateScore(*score, tables(), NotationOptions{.foldRepeats = false});
        for (const NotatedStaff& staff : notated_->staves) {
            for (const auto& measure : staff.measures) {
                for (const NotatedNote& n : measure.notes) {
                    if (n.text.line == 0 || n.piece != 1) continue;
                    const NotatedNote*& kept = notatedByOffset_[n.text.offset];
                    if (!kept || n.pass < kept->pass || (kept->rest && !n.rest)) kept = &n;
                }
            }
        }
    }
    const auto found = notatedByOffset_.find(offset);
    return found == notatedByOffset_.end() ? nullptr : found->second;
}

std::string soundingName(const Analysis& a, const Lexeme& l, int number) {
    if (number >= 73) return "noise rate " + std::to_string(number - 73);
    const NotatedNote* n = a.notatedAt(l.first);
    if (n && !n->rest && n->note == number) return pitchName(n->pitch);
    return pitchName(plainSpelling(number, l.keySign == '&' ? -l.keyCount : l.keyCount));
}

// --- Diagnostics ---------------------------------------------------------------

Json diagnostics(const Analysis& a, const WarningSet& enabled, const std::string& uri) {
    Json out = Json::array();
    const auto rangeAt = [&](std::int64_t line, std::int64_t column, std::int64_t endColumn) {
        const LinePosition start = a.lines.positionOfColumn(line, column);
        LinePosition end = a.lines.positionOfColumn(line, std::max(endColumn, column) + 1);
        if (end.line != start.line || end.character <= start.character) {
            end = {start.line, start.character + 1};
        }
        return Json{{"start", {{"line", start.line}, {"character", start.character}}},
                    {"end", {{"line", end.line}, {"character", end.character}}}};
    };
    std::vector<const Warning*> shown;
    for (const Warning& w : a.warnings) {
        if (enabled.test(static_cast<std::size_t>(w.kind)) && w.where.line != 0)
            shown.push_back(&w);
    }
    // In the order of the text, as --check prints them.
    std::stable_sort(shown.begin(), shown.end(), [](const Warning* x, const Warning* y) {
        return x->where.offset < y->where.offset;
    });
    for (const Warning* shownWarning : shown) {
        const Warning& w = *shownWarning;
        Json d{{"range", rangeAt(w.where.line, w.where.column, w.endColumn)},
               {"severity", 2},
               {"code", w.name},
               {"source", "quarvelcd"},
               {"message", w.message}};
        Json related = Json::array();
        for (const auto& [line, column, text] : placesNamed(w.message)) {
            related.push_back({{"location", {{"uri", uri}, {"range", rangeAt(line, column, 0)}}},
                               {"message", "named here: " + text}});
        }
        if (!related.empty()) d["relatedInformation"] = related;
        out.push_back(d);
    }
    if (a.error) {
        out.push_back(
            {{"range", rangeAt(a.error->where.line, a.error->where.column, 0)},
             {"severity", 1},
             {"code", a.error->number},
             {"source", "quarvelcd"},
             {"message", "error " + std::to_string(a.error->number) + ": " + a.error->what}});
    }
    return out;
}

// --- Hover ------------------------------------------------------------------------

namespace {

std::string noteHover(const Analysis& a, const Lexeme& l) {
    std::string text;
    const auto facts = noteFacts(a, l);
    if (!facts) {
        if (a.error)
            return "**note** — the score stops at error " + std::to_string(a.error->number) +
                   " before it sounds";
        return "**note** — never merged into a bar";
    }
    if (l.kind == LexKind::rest) {
        text = "**rest**";
    } else if (facts->note == 0) {
        text = "**silent**";
    } else {
        text = "**" + soundingName(a, l, facts->note) + "**";
    }
    const auto single = singleValueOf(facts->ticks);
    const std::string value = single ? valueName(*single) : lengthName(facts->ticks);
    text += " — " + (value.empty() ? std::to_string(facts->ticks) + " ticks"
                                   : value + " (" + std::to_string(facts->ticks) + " ticks)");
    text += ", voice " + std::to_string(facts->voice + 1);
    text += ", bar " + std::to_string(facts->bars.front());
    if (facts->bars.size() > 1) {
        text += " (also bar";
        text += facts->bars.size() > 2 ? "s " : " ";
        for (std::size_t i = 1; i < facts->bars.size() && i < 6; ++i) {
            text += (i > 1 ? ", " : "") + std::to_string(facts->bars[i]);
        }
        if (facts->bars.size() > 6) text += ", …";
        text += ")";
    }
    if (facts->startFrame) {
        text += ", at " + timeText(*facts->startFrame);
    } else {
        text += ", never heard";
    }
    std::vector<std::string> reasons;
    if (l.kind == LexKind::note) {
        if (l.transpose != 0) {
            reasons.push_back(std::string("transposed by `") + (l.transpose > 0 ? ">" : "<") +
                              std::to_string(std::abs(l.transpose)) + "`");
        }
        if (l.stepOffset != 0) {
            reasons.push_back(std::string("moved ") + std::to_string(std::abs(l.stepOffset)) +
                              " scale steps " + (l.stepOffset > 0 ? "up" : "down") +
                              " by the voice's `U`");
        }
        const char sign = a.text[l.first];
        if (l.noteMode != '*' && sign != '+' && sign != '-' && l.noteModeAt != SIZE_MAX) {
            reasons.push_back(
                std::string("`") + l.noteMode + "` set in voice " +
                std::to_string(l.noteModeVoice + 1) + " at " + placeText(a, l.noteModeAt) +
                (l.noteMode == '@' ? " is in force: steps count downward" : " is in force: noise"));
        }
    }
    for (const Warning& w : a.warnings) {
        if (w.where.line != 0 && w.where.offset >= l.first && w.where.offset <= l.last) {
            reasons.push_back(w.message + " [" + w.name + "]");
        }
    }
    for (const auto& r : reasons) text += "\n\n" + r;
    return text;
}

std::string commandHover(const Analysis& a, const Lexeme& l) {
    const std::string& arg = l.argument;
    const int digit = arg.empty() ? -1 : hexValue(arg[0]);
    switch (l.letter) {
        case '=': {
            const int value = hexByte(arg);
            if (value < 2) return "**tempo** `=` takes two hexadecimal digits, 02 to FF";
            return "**tempo** `=" + arg + "`: about " + std::to_string(beatsPerMinute(value)) +
                   " beats a minute (of the beat note `N`; a larger value is slower)";
        }
        case 'K':
            if (arg.size() == 2 && digit >= 0 && digit <= 7 && (arg[1] == '#' || arg[1] == '&')) {
                return "**key signature** `K" + arg + "`: " + keyName(digit, arg[1]) +
                       " (from the next bar line on)";
            }
            return "**key signature** `K` takes a count 0 to 7 and `#` or `&`";
        case 'Y': {
            if (arg.size() != 1 || arg[0] < 'A' || arg[0] > 'E')
                return "**instrument choice** `Y` takes A to E";
            const int letter = arg[0] - 'A';
            const Instrument& instrument =
                a.score ? a.score->instruments[letter] : kDefaultInstruments[letter];
            return std::string("**instrument ") + arg[0] + "** for voice " +
                   std::to_string(l.voice + 1) + ": " + instrumentSound(letter, instrument);
        }
        case 'Z':
            if (digit >= 0 && digit <= 9)
                return "**stereo placement** `Z" + arg + "`: " + slotMapDescription(digit);
            return "**stereo placement** `Z` takes 0 to 9";
        case 'V':
            return "**voice " + arg + "**: the notes that follow belong to it";
        case 'L':
            return "**loudness** `L" + arg + "` of voice " + std::to_string(l.voice + 1) +
                   "'s next notes (`LF` loudest, `L0` softest)";
        case 'N': {
            const char* names[] = {"half", "quarter", "eighth", "sixteenth", "32nd"};
            const std::string units = "HQIST";
            const auto at = arg.empty() ? std::string::npos : units.find(arg[0]);
            if (at == std::string::npos) return "**beat unit** `N` takes H, Q, I, S or T";
            return std::string("**beat unit**: the ") + names[at] + " note is the beat";
        }
        case 'O':
            return "**option** `O" + arg + "`: " +
                   (digit == 0   ? std::string("clears all options")
                    : digit == 1 ? std::string("every voice keeps its own accidental memory")
                    : digit == 2 ? std::string("the next bar line keeps the accidentals")
                                 : std::string("options ") + arg);
        case '<':
        case '>':
            return std::string("**transposition**: every note ") + arg + " semitones " +
                   (l.letter == '>' ? "up" : "down") + " (for the whole bar)";
        case 'U':
            return "**step offset** `U" + arg + "`: voice " + std::to_string(l.voice + 1) +
                   "'s notes move by " + arg + " scale steps";
        case 'J':
            if (isDefinition(l)) {
                const int letter = arg[0] - 'A';
                if (letter >= 0 && letter < kVoices && a.score) {
                    return std::string("**instrument ") + arg[0] +
                           " defined**: " + instrumentSound(letter, a.score->instruments[letter]) +
                           " (the last definition of a letter sounds everywhere)";
                }
                return "**instrument definition**";
            }
            if (arg.size() == 3 && arg[1] == 'T') {
                return "**decay rate** `" + arg.substr(2) +
                       "`: slices between two steps of the fade (0: no fading)";
            }
            return "**instrument definition** `J` takes a letter A to E, then R, S or T";
        case 'P': {
            const int number = hexByte(arg);
            return arg.empty() || number == 0 ? "**part** (unnumbered)" : "**part " + arg + "**";
        }
        case 'R':
            return "**replay** of part " + arg +
                   ", with the settings in force when this part closes";
        default:
            return "";
    }
}

std::string otherHover(const Analysis& a, const Lexeme& l) {
    switch (l.kind) {
        case LexKind::duration: {
            unsigned base = 0;
            switch (l.letter) {
                case 'W':
                    base = 192;
                    break;
                case 'H':
                    base = 96;
                    break;
                case 'Q':
                    base = 48;
                    break;
                case 'I':
                    base = 24;
                    break;
                case 'S':
                    base = 12;
                    break;
                case 'T':
                    base = 6;
                    break;
                default:
                    base = 3;
                    break;
            }
            unsigned total = base, half = base;
            for (const char c : l.argument) {
                if (c == ':') total = total * 2 / 3;
                if (c == '.') {
                    half /= 2;
                    total += half;
                }
            }
            const auto single = singleValueOf(total);
            const std::string name = single ? valueName(*single) : "";
            return "**duration**: " + (name.empty() ? std::string("") : name + ", ") +
                   std::to_string(total) + " ticks, for the notes that follow in every voice";
        }
        case LexKind::barLine: {
            std::string text = "**bar line**";
            if (a.score) {
                // The bars made of the notes between the bar line before
                // this one and it (every pass).
                std::size_t previous = 0;
                for (const Lexeme& x : a.lexed().lexemes) {
                    if (x.first >= l.first) break;
                    if (x.kind == LexKind::barLine || closesPart(x)) previous = x.last + 1;
                }
                std::vector<std::size_t> numbers;
                const auto& bars = a.score->sourceMap.bars;
                for (std::size_t b = 0; b < bars.size() && numbers.size() < 6; ++b) {
                    if (!bars[b].text.empty() && bars[b].text.first >= previous &&
                        bars[b].text.last < l.first) {
                        numbers.push_back(b + 1);
                    }
                }
                if (!numbers.empty()) {
                    text += ": ends bar ";
                    for (std::size_t i = 0; i < numbers.size(); ++i)
                        text += (i ? ", " : "") + std::to_string(numbers[i]);
                }
            }
            return text;
        }
        case LexKind::barText:
            return "**skipped**: the text right after `M` up to the next blank is a bar number";
        case LexKind::repeatOpen:
            return "**repeat**: from here to `)`";
        case LexKind::repeatClose:
            return "**repeat end**: " + l.argument + " more passes";
        case LexKind::noteMode:
            return l.letter == '*' ? "**note mode**: unsigned steps count upward (for every voice)"
                   : l.letter == '@'
                       ? "**note mode**: unsigned steps count downward (for every voice)"
                       : "**note mode**: noise; a step picks one of 16 noise rates (for every "
                         "voice)";
        default:
            return "";
    }
}

}  // namespace

std::optional<Json> hover(const Analysis& a, std::size_t offset) {
    const Lexeme* l = lexemeAt(a.lexed(), offset);
    if (!l || l->kind == LexKind::comment || l->kind == LexKind::invalid) return std::nullopt;
    std::string text;
    if (l->kind == LexKind::note || l->kind == LexKind::rest) {
        text = noteHover(a, *l);
    } else if (l->kind == LexKind::command) {
        text = commandHover(a, *l);
    } else {
        text = otherHover(a, *l);
    }
    if (text.empty()) return std::nullopt;
    return Json{{"contents", {{"kind", "markdown"}, {"value", text}}},
                {"range", a.range(l->first, l->last + 1)}};
}

// --- Inlay hints, tokens, outline, folds ----------------------------------------

Json inlayHints(const Analysis& a, std::size_t first, std::size_t end) {
    Json out = Json::array();
    if (!a.score) return out;
    const auto& all = a.lexed().lexemes;
    auto from = std::lower_bound(all.begin(), all.end(), first,
                                 [](const Lexeme& l, std::size_t o) { return l.last < o; });
    for (auto l = from; l != all.end() && l->first < end; ++l) {
        if (l->kind != LexKind::note) continue;
        const auto facts = noteFacts(a, *l);
        if (!facts || facts->note == 0) continue;
        out.push_back({{"position", a.position(l->last + 1)},
                       {"label", soundingName(a, *l, facts->note)},
                       {"kind", 2},
                       {"paddingLeft", true}});
    }
    return out;
}

Json semanticTokens(const Analysis& a) {
    std::vector<std::uint32_t> data;
    data.reserve(a.lexed().runs.size() * 5);
    std::int64_t lastLine = 0, lastStart = 0;
    for (const CharRun& run : a.lexed().runs) {
        const LinePosition start = a.lines.positionOf(run.offset);
        const LinePosition end = a.lines.positionOf(run.offset + run.length);
        const std::int64_t length = end.line == start.line ? end.character - start.character : 1;
        data.push_back(static_cast<std::uint32_t>(start.line - lastLine));
        data.push_back(static_cast<std::uint32_t>(
            start.line == lastLine ? start.character - lastStart : start.character));
        data.push_back(static_cast<std::uint32_t>(length));
        data.push_back(static_cast<std::uint32_t>(run.cls));
        data.push_back(0);
        lastLine = start.line;
        lastStart = start.character;
    }
    return {{"data", data}};
}

Json documentSymbols(const Analysis& a) {
    Json parts = Json::array();
    const auto& all = a.lexed().lexemes;
    // Parts run from one part command to the next; bars from one bar line to
    // the next within them.
    std::size_t partFirst = 0;
    std::string partName = "part (start)";
    std::size_t partSelect = 0, partSelectEnd = 0;
    Json bars = Json::array();
    std::size_t barFirst = SIZE_MAX, barLast = 0, barNumber = 0;
    const auto closeBar = [&](std::size_t barLineEnd) {
        if (barFirst == SIZE_MAX) return;
        ++barNumber;
        bars.push_back({{"name", "bar " + std::to_string(barNumber)},
                        {"kind", 5},
                        {"range", a.range(barFirst, barLineEnd)},
                        {"selectionRange", a.range(barFirst, barLast + 1)}});
        barFirst = SIZE_MAX;
    };
    const auto closePart = [&](std::size_t end) {
        if (bars.empty() && partName == "part (start)") return;
        parts.push_back({{"name", partName},
                         {"kind", 2},
                         {"range", a.range(partFirst, std::max(end, partSelectEnd))},
                         {"selectionRange", a.range(partSelect, partSelectEnd)},
                         {"children", bars}});
        bars = Json::array();
    };
    for (const Lexeme& l : all) {
        if (l.kind == LexKind::note || l.kind == LexKind::rest) {
            if (barFirst == SIZE_MAX) barFirst = l.first;
            barLast = l.last;
        } else if (l.kind == LexKind::barLine) {
            closeBar(l.last + 1);
        } else if (closesPart(l)) {
            closeBar(barLast + 1);
            closePart(l.first);
            partFirst = l.first;
            partSelect = l.first;
            partSelectEnd = l.last + 1;
            partName =
                isReplay(l)
                    ? "replay of part " + l.argument
                    : (l.argument.empty() || l.argument == "00" ? "part" : "part " + l.argument);
        }
    }
    closeBar(barLast + 1);
    closePart(a.text.size());
    return parts;
}

Json foldingRanges(const Analysis& a) {
    Json out = Json::array();
    const auto fold = [&](std::size_t first, std::size_t last, const char* kind) {
        const auto start = a.lines.positionOf(first).line;
        const auto end = a.lines.positionOf(last).line;
        if (end > start) out.push_back({{"startLine", start}, {"endLine", end}, {"kind", kind}});
    };
    std::optional<std::size_t> partStart, repeatStart;
    std::size_t lastMusic = 0;
    for (const Lexeme& l : a.lexed().lexemes) {
        if (closesPart(l)) {
            if (partStart) fold(*partStart, lastMusic, "region");
            partStart = l.first;
        } else if (l.kind == LexKind::repeatOpen) {
            repeatStart = l.first;
        } else if (l.kind == LexKind::repeatClose && repeatStart) {
            fold(*repeatStart, l.last, "region");
            repeatStart.reset();
        }
        if (l.kind != LexKind::comment) lastMusic = l.last;
    }
    if (partStart) fold(*partStart, lastMusic, "region");
    return out;
}

// --- Definitions and references ---------------------------------------------------

namespace {

Json location(const Analysis& a, const std::string& uri, const Lexeme& l) {
    return {{"uri", uri}, {"range", a.range(l.first, l.last + 1)}};
}

}  // namespace

Json definition(const Analysis& a, const std::string& uri, std::size_t offset) {
    const Lexeme* at = lexemeAt(a.lexed(), offset);
    if (!at) return nullptr;
    const auto& all = a.lexed().lexemes;
    if (isReplay(*at) && hexByte(at->argument) > 0) {
        // The first part with the number before the replay.
        for (const Lexeme& l : all) {
            if (l.first >= at->first) break;
            if (isPart(l) && l.argument == at->argument) return location(a, uri, l);
        }
    } else if (isChoice(*at)) {
        // The last definition of the letter counts for the whole score.
        const Lexeme* found = nullptr;
        for (const Lexeme& l : all) {
            if (isDefinition(l) && l.argument[0] == at->argument[0]) found = &l;
        }
        if (found) return location(a, uri, *found);
    }
    return nullptr;
}

Json references(const Analysis& a, const std::string& uri, std::size_t offset,
                bool withDeclaration) {
    Json out = Json::array();
    const Lexeme* at = lexemeAt(a.lexed(), offset);
    if (!at) return out;
    const auto& all = a.lexed().lexemes;
    if ((isPart(*at) || isReplay(*at)) && hexByte(at->argument) > 0) {
        for (const Lexeme& l : all) {
            if (l.argument != at->argument) continue;
            if (isReplay(l) || (withDeclaration && isPart(l))) out.push_back(location(a, uri, l));
        }
    } else if (isDefinition(*at) || isChoice(*at)) {
        const char letter = at->argument[0];
        for (const Lexeme& l : all) {
            if (isChoice(l) && l.argument[0] == letter) out.push_back(location(a, uri, l));
            if (withDeclaration && isDefinition(l) && l.argument[0] == letter)
                out.push_back(location(a, uri, l));
        }
    }
    return out;
}

// --- Quick fixes ------------------------------------------------------------------

Json codeActions(const Analysis& a, const std::string& uri, const Json& wanted) {
    Json out = Json::array();
    if (!wanted.is_array()) return out;
    for (const Json& d : wanted) {
        if (!d.is_object() || !d.contains("code") || !d["code"].is_string() ||
            !d.contains("range") || !d["range"].is_object())
            continue;
        const std::string code = d["code"].get<std::string>();
        const Json& range = d["range"];
        const std::size_t at = a.offsetOf(range.contains("start") ? range["start"] : Json());
        const std::size_t to = a.offsetOf(range.contains("end") ? range["end"] : Json());
        // The diagnostic as answered names only what this server sent: the
        // client's object may hold anything.
        Json echoed{{"range", a.range(at, std::max(at, to))}, {"code", code}};
        if (d.contains("message") && d["message"].is_string()) echoed["message"] = d["message"];
        std::string title;
        std::size_t insertAt = 0;
        std::string insert;
        if (code == "glued-bar-line") {
            title = "Put a blank after the bar line";
            insertAt = at;
            insert = " ";
        } else if (code == "shared-accidental") {
            const Lexeme* l = lexemeAt(a.lexed(), at);
            if (!l || l->kind != LexKind::note || l->first != at || !l->argument.empty()) continue;
            title = "Make this note natural with `%`";
            insertAt = l->afterStep;
            insert = "%";
        } else if (code == "repeated-note" || code == "tie-across-bar") {
            // Two equal notes sound as one: an apostrophe after the first one
            // (the note the message names) strikes the second again.
            const std::string message = echoed.value("message", "");
            const auto places = placesNamed(message);
            if (places.empty()) continue;
            const LinePosition p =
                a.lines.positionOfColumn(places.front().line, places.front().column);
            const Lexeme* l = lexemeAt(a.lexed(), a.lines.offsetOf(p));
            if (!l || l->kind != LexKind::note) continue;
            const char after = a.text[l->last];
            if (after == '\'' || after == '"' || after == ',' || after == ';') continue;
            title = "Strike the note again: `'` after the one before";
            insertAt = l->last + 1;
            insert = "'";
        } else {
            continue;
        }
        const Json edit{{"range", a.range(insertAt, insertAt)}, {"newText", insert}};
        out.push_back({{"title", title},
                       {"kind", "quickfix"},
                       {"isPreferred", true},
                       {"diagnostics", Json::array({echoed})},
                       {"edit", {{"changes", {{uri, Json::array({edit})}}}}}});
    }
    return out;
}

// --- Completion -------------------------------------------------------------------

Json completion(const Analysis& a, std::size_t offset) {
    Json items = Json::array();
    const auto item = [&](const std::string& label, const std::string& detail,
                          const std::string& snippet, int kind) {
        Json i{{"label", label}, {"detail", detail}, {"kind", kind}};
        if (!snippet.empty()) {
            i["insertText"] = snippet;
            i["insertTextFormat"] = 2;
        }
        items.push_back(i);
    };
    const char before =
        offset > 0 && offset <= a.text.size()
            ? static_cast<char>(foldUpper(static_cast<std::uint8_t>(a.text[offset - 1])))
            : ' ';
    if (before == 'R') {
        for (const Lexeme& l : a.lexed().lexemes) {
            if (isPart(l) && hexByte(l.argument) > 0 && l.first < offset) {
                item(l.argument, "replay part " + l.argument, "", 12);
            }
        }
        return items;
    }
    if (before == 'Y') {
        for (int letter = 0; letter < kVoices; ++letter) {
            const Instrument& instrument =
                a.score ? a.score->instruments[letter] : kDefaultInstruments[letter];
            item(std::string(1, static_cast<char>('A' + letter)),
                 instrumentSound(letter, instrument), "", 12);
        }
        return items;
    }
    static const struct {
        const char* label;
        const char* detail;
        const char* snippet;
    } commands[] = {
        {"V", "voice 1 to 5", "V${1|1,2,3,4,5|}"},
        {"M", "bar line", "M "},
        {"=", "tempo, two hex digits (larger is slower)", "=${1:C0}"},
        {"K", "key signature", "K${1|0,1,2,3,4,5,6,7|}${2|#,&|}"},
        {"Y", "instrument choice A to E", "Y${1|A,B,C,D,E|}"},
        {"J", "instrument definition", "J${1|A,B,C,D,E|}${2|S,R|}${3:F4080000}${4:B}"},
        {"JT", "decay rate", "J${1|A,B,C,D,E|}T${2:0}"},
        {"L", "loudness 0 to F", "L${1:F}"},
        {"N", "beat unit", "N${1|H,Q,I,S,T|}"},
        {"O", "option", "O${1|0,1,2|}"},
        {"P", "part, optionally numbered", "P${1:01}"},
        {"R", "replay a numbered part", "R${1:01}"},
        {"U", "step offset", "U${1|+,-|}${2:7}"},
        {"Z", "stereo placement 0 to 9", "Z${1|0,1,2,3,4,5,6,7,8,9|}"},
        {">", "transpose up", ">${1:2}"},
        {"<", "transpose down", "<${1:2}"},
        {"(", "repeat", "($0)${1:1}"},
        {"*", "steps count upward", ""},
        {"@", "steps count downward", ""},
        {"_", "noise", ""},
        {"$", "rest", ""},
    };
    for (const auto& c : commands) item(c.label, c.detail, c.snippet, 14);
    static const struct {
        const char* label;
        const char* detail;
    } durations[] = {{"W", "whole (192 ticks)"},    {"H", "half (96 ticks)"},
                     {"Q", "quarter (48 ticks)"},   {"I", "eighth (24 ticks)"},
                     {"S", "sixteenth (12 ticks)"}, {"T", "32nd (6 ticks)"},
                     {"X", "64th (3 ticks)"}};
    for (const auto& d : durations) item(d.label, d.detail, "", 25);
    return items;
}

}  // namespace quarvel::lsp
