// The program's messages: text shown inert, JSON strings and the excerpt
// under an error, each from tables of bytes a score or a file name can hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/messages.h"

namespace quarvel {
namespace {

struct TextCase {
    std::string in;
    std::string out;
};

TEST(MessagesTest, InertShowsControlsAndKeepsText) {
    const TextCase cases[] = {
        {"plain tune.qv", "plain tune.qv"},
        {"tab\tkept", "tab\tkept"},
        {"\x1b[31mred", "^[[31mred"},
        {"line\nbreak\r", "line^Jbreak^M"},
        {std::string("nul\0end", 7), "nul^@end"},
        {"del\x7f", "del^?"},
        {"\xc2\x9b"
         "csi",
         "\\x9bcsi"},  // C1 control in UTF-8
        {"\x9b"
         "lone",
         "\\x9blone"},                                             // C1 control as a lone byte
        {"caf\xc3\xa9 \xe2\x99\xad", "caf\xc3\xa9 \xe2\x99\xad"},  // UTF-8 passes
        {"\xc0\xaf", "\xc0\xaf"},                                  // overlong: bytes as they are
        {"\xe2\x99", "\xe2\\x99"},  // cut short: its second byte stands alone, a C1 code
    };
    for (const auto& c : cases) {
        EXPECT_EQ(inert(c.in), c.out) << c.in;
        // The streamed form writes the same bytes, also past its own buffer.
        const std::string longer(2000, 'x');
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        writeInert(file, longer + c.in);
        std::rewind(file);
        std::string written(longer.size() + 8 * c.in.size() + 8, '\0');
        written.resize(std::fread(written.data(), 1, written.size(), file));
        std::fclose(file);
        EXPECT_EQ(written, longer + c.out) << c.in;
    }
}

TEST(MessagesTest, JsonStringEscapesAndReplacesWhatIsNotUtf8) {
    const TextCase cases[] = {
        {"", "\"\""},
        {"say \"hi\" \\ now", "\"say \\\"hi\\\" \\\\ now\""},
        {"\n\t\x01\x7f", "\"\\u000a\\u0009\\u0001\\u007f\""},
        {"A\xe2\x99\xad", "\"A\xe2\x99\xad\""},
        {"\xff"
         "x\xc3",
         "\"\\ufffdx\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // a surrogate is not UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(jsonString(c.in), c.out) << c.in;
}

struct ExcerptCase {
    std::string text;
    std::int64_t line;
    std::int64_t column;
    std::size_t lineStart;
    std::string shown;
};

TEST(MessagesTest, ExcerptPutsTheCaretUnderTheFault) {
    const std::string wide(300, 'a');
    const ExcerptCase cases[] = {
        {"I 1 2 3\n", 1, 3, 0, "  I 1 2 3\n    ^\n"},
        {"x\nQ\t9 Z\r\n", 2, 4, 2, "  Q\t9 Z\n   \t ^\n"},  // a tab stays a tab under itself
        {"Q \x01\xc3\xa9!\n", 1, 6, 0,
         "  Q ???"
         "!\n       ^\n"},                    // others become '?'
        {"Q 1", 1, 9, 0, "  Q 1\n     ^\n"},  // past the end: after the last
        {wide + "\n", 1, 250, 0,
         "  ..." + std::string(151, 'a') + "\n  " + std::string(103, ' ') + "^\n"},
        {wide + "\n", 1, 1, 0, "  " + std::string(200, 'a') + "...\n  ^\n"},
    };
    for (const auto& c : cases) {
        CompileError error;
        error.line = c.line;
        error.column = c.column;
        error.lineStart = c.lineStart;
        EXPECT_EQ(errorContext(error, SourceText(c.text)), c.shown) << c.text.substr(0, 20);
    }
}

}  // namespace
}  // namespace quarvel
