// Coverage-guided fuzzing of the language server. The first byte picks the
// way in: even, the rest is a score text and every feature is asked about it
// (diagnostics, colours, outline, folds, hints, and hovers, definitions,
// references and completions at its places); odd, the rest is a run of
// message bodies separated by 0x1E, each framed and sent to a server after an
// initialize and a document, as a client would. Nothing may crash, and the
// colours must stay within the text.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lsp/score_facts.h"
#include "lsp/server.h"

using namespace quarvel;
using namespace quarvel::lsp;

namespace {

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what);
    std::abort();
}

void askEverything(const std::string& text) {
    const Analysis a(text, Dialect::combined);
    const std::string uri = "file:///fuzz.qvl";
    const Json found = diagnostics(a, WarningSet().set(), uri);
    const Json tokens = semanticTokens(a)["data"];
    if (tokens.size() % 5 != 0) finding("semantic tokens not in fives");
    std::size_t line = 0;
    for (std::size_t i = 0; i < tokens.size(); i += 5) line += tokens[i].get<std::size_t>();
    if (line >= a.lines.count()) finding("a colour past the last line");
    documentSymbols(a);
    foldingRanges(a);
    inlayHints(a, 0, text.size() + 1);
    codeActions(a, uri, found);
    for (std::size_t offset = 0; offset <= text.size() && offset < 300; ++offset) {
        hover(a, offset);
        definition(a, uri, offset);
        references(a, uri, offset, true);
        if (offset % 7 == 0) completion(a, offset);
    }
}

std::string framed(std::string_view body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

void serveMessages(std::string_view bodies) {
    std::string stream =
        framed(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})") +
        framed(R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{"textDocument":)"
               R"({"uri":"file:///fuzz.qvl","text":"P01 Q 0 2 M (I 3# 4 M )1 R01 V9"}}})");
    while (!bodies.empty()) {
        const auto end = bodies.find('\x1e');
        stream += framed(bodies.substr(0, end));
        bodies = end == std::string_view::npos ? std::string_view() : bodies.substr(end + 1);
    }
    int in[2];
    if (pipe(in) != 0) finding("no pipe");
    if (fcntl(in[1], F_SETPIPE_SZ, 1 << 20) < 0 && stream.size() > 65536) return;
    if (write(in[1], stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) {
        finding("the input did not fit the pipe");
    }
    close(in[1]);
    const int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    serve(in[0], out, "/bin/false");
    close(in[0]);
    close(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    setenv("QUARVEL_DEVICE", "quarvel_fuzz_no_device", 1);
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        askEverything(std::string(rest));
    } else {
        serveMessages(rest);
    }
    return 0;
}
