// One compile of a document and what the editor asks about it: the
// diagnostics, hovers, pitch names, outline, folds, definitions and
// references, colours, quick fixes and completions, as protocol JSON.
// Everything stands on the compiler (its image, source map, warnings) and on
// the lexed text; nothing here compiles a note a second way.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "compiler/score_compiler.h"
#include "lsp/score_lexer.h"
#include "lsp/text_lines.h"
#include "notation/notated_score.h"
#include "synth/player.h"
#include "synth/tables.h"

namespace quarvel::lsp {

using Json = nlohmann::json;

// The semantic token types, in the order of CharClass.
const std::vector<std::string>& semanticTokenTypes();

class Analysis {
  public:
    Analysis(std::string text, Dialect dialect);
    Analysis(const Analysis&) = delete;
    Analysis& operator=(const Analysis&) = delete;

    const std::string text;
    const TextLines lines;
    std::optional<CompiledScore> score;  // when it compiled
    std::optional<CompileError> error;   // when it did not
    std::vector<Warning> warnings;       // every kind, found before any error

    Json position(std::size_t offset) const;
    Json range(std::size_t first, std::size_t endOffset) const;
    std::size_t offsetOf(const Json& position) const;

    // The queue entries merged from the note token that starts at `offset`
    // (indexes into SourceMap::notes, a repeated token once a pass).
    // The text cut into pieces; made on the first question.
    const LexedScore& lexed() const;
    const std::vector<std::uint32_t>* notesOfToken(std::size_t offset) const;
    // The synthesis tables and the timeline of the score (when it compiled);
    // made on the first question, since diagnostics need neither.
    const Tables& tables() const;
    const Timeline& timeline() const;
    // The notated note written at the byte offset (its first pass, first
    // piece); made on the first question.
    const NotatedNote* notatedAt(std::size_t offset) const;

  private:
    void layOut() const;

    mutable std::optional<LexedScore> lexed_;
    mutable std::optional<Tables> tables_;
    mutable std::unique_ptr<Timeline> timeline_;
    mutable std::optional<NotatedScore> notated_;
    mutable std::unordered_map<std::size_t, const NotatedNote*> notatedByOffset_;
    mutable std::unordered_map<std::size_t, std::vector<std::uint32_t>> notesByToken_;
};

struct NoteFacts {
    int note = 0;  // sounding note number; 0: silent (a rest)
    std::uint32_t ticks = 0;
    std::uint8_t voice = 0;
    std::vector<std::size_t> bars;            // numbered from 1, every pass
    std::optional<std::uint64_t> startFrame;  // first pass; nullopt: never heard
};
std::optional<NoteFacts> noteFacts(const Analysis& analysis, const Lexeme& note);
// The name to show for a sounding note ("E♭4", "noise rate 5"), spelled as
// the notated score writes it.
std::string soundingName(const Analysis& analysis, const Lexeme& note, int number);

Json diagnostics(const Analysis& analysis, const WarningSet& enabled, const std::string& uri);
std::optional<Json> hover(const Analysis& analysis, std::size_t offset);
Json inlayHints(const Analysis& analysis, std::size_t first, std::size_t end);
Json semanticTokens(const Analysis& analysis);
Json documentSymbols(const Analysis& analysis);
Json foldingRanges(const Analysis& analysis);
Json definition(const Analysis& analysis, const std::string& uri, std::size_t offset);
Json references(const Analysis& analysis, const std::string& uri, std::size_t offset,
                bool withDeclaration);
Json codeActions(const Analysis& analysis, const std::string& uri, const Json& diagnostics);
Json completion(const Analysis& analysis, std::size_t offset);

}  // namespace quarvel::lsp
