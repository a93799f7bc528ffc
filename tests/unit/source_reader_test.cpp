// The source reader: line ends hidden and counted, letters folded, the end of
// the text, and the field readers with their error numbers and positions.
#include "compiler/source_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace quarvel {
namespace {

// A reader over its own text.
struct Reading {
    explicit Reading(std::string_view source) : text(source), reader(text) {}
    SourceText text;
    SourceReader reader;
};

// Runs `read` on a fresh reader over `text` and checks the fault it raises.
template <typename Read>
void expectReadFault(std::string_view text, Read read, int number, std::int32_t line,
                     std::int64_t column) {
    SCOPED_TRACE(testing::Message() << "text \"" << text << '"');
    Reading r(text);
    try {
        read(r.reader);
        ADD_FAILURE() << "no fault raised";
    } catch (const CompileError& error) {
        EXPECT_EQ(error.number, number);
        EXPECT_EQ(error.line, line);
        EXPECT_EQ(error.column, column);
    }
}

// --- Durations ---------------------------------------------------------------

TEST(SourceReaderDuration, EveryLetterWithEverySuffix) {
    // Worked out by hand: ":" is two thirds rounded down; each dot adds half of
    // what the dot before added, counted from the undotted length. -1: error 6.
    struct Row {
        char letter;
        std::uint8_t base;
        int ticks[5];  // plain, ":", ".", "..", ":."
    };
    // clang-format off
    const Row rows[] = {{'W', 192, {192, 128, -1, -1, 224}}, {'H', 96, {96, 64, 144, 168, 112}},
                        {'Q', 48, {48, 32, 72, 84, 56}},     {'I', 24, {24, 16, 36, 42, 28}},
                        {'S', 12, {12, 8, 18, 21, 14}},      {'T', 6, {6, 4, 9, 10, 7}},
                        {'X', 3, {3, 2, 4, 4, 3}}};
    // clang-format on
    const std::string suffixes[] = {"", ":", ".", "..", ":."};
    for (const auto& row : rows) {
        for (int s = 0; s < 5; ++s) {
            SCOPED_TRACE(row.letter + suffixes[s]);
            const std::string text = suffixes[s] + "5";
            const auto read = [&](SourceReader& reader) { reader.readDuration(row.base); };
            if (row.ticks[s] < 0) {
                // Raised after reading the character behind the suffix.
                const auto column = static_cast<std::int64_t>(suffixes[s].size() + 1);
                expectReadFault(text, read, 6, 1, column);
                continue;
            }
            Reading r(text);
            EXPECT_EQ(r.reader.readDuration(row.base), row.ticks[s]);
            EXPECT_EQ(r.reader.nextChar(), '5') << "the character after the suffix is given back";
        }
    }
}

TEST(SourceReaderDuration, LongerSuffixesAndLineEnds) {
    struct Case {
        const char* text;
        std::uint8_t base;
        int ticks;
        std::uint8_t following;
    };
    // clang-format off
    const Case cases[] = {
        {"...5", 48, 90, '5'},    // 48 + 24 + 12 + 6
        {"::5", 48, 32, ':'},     // one ":" only; the second is left over
        {".:5", 48, 72, ':'},     // ":" only directly after the letter
        {"...5", 96, 180, '5'},   // 96 + 48 + 24 + 12
        {"\r\n.5", 48, 72, '5'},  // a suffix may continue on the next line
        {"q", 48, 48, 'Q'}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Reading r(c.text);
        EXPECT_EQ(r.reader.readDuration(c.base), c.ticks);
        EXPECT_EQ(r.reader.nextChar(), c.following);
    }
    const auto whole = [](SourceReader& reader) { reader.readDuration(192); };
    expectReadFault(":..5", whole, 6, 1, 4);    // 128 + 96 + 48 = 272
    expectReadFault(".\r\nQ", whole, 6, 2, 1);  // the "Q" on the next line was read
    expectReadFault("..", whole, 6, 2, 0);      // the end of the text was read
}

// --- Line ends ---------------------------------------------------------------

TEST(SourceReaderLines, LineEndsAreSkippedAndCounted) {
    struct Case {
        std::string_view text;
        std::int32_t lineOfB;
        std::size_t lineStartOfB;
    };
    // clang-format off
    const Case cases[] = {
        {"a\r\nb", 2, 3}, {"a\n\rb", 2, 3}, {"a\n\r\nb", 3, 4}, {"a\r\rb", 3, 3}, {"a\n\nb", 3, 3},
        {"a\rb", 2, 2}, {"a\nb", 2, 2}, {"a\r\n\r\nb", 3, 5}, {"a\r\n\rb", 3, 4}, {"ab", 1, 0}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        Reading r(c.text);
        EXPECT_EQ(r.reader.nextChar(), 'A');
        EXPECT_EQ(r.reader.lineNumber(), 1);
        EXPECT_EQ(r.reader.nextChar(), 'B');
        EXPECT_EQ(r.reader.lineNumber(), c.lineOfB);
        EXPECT_EQ(r.reader.lineStart(), c.lineStartOfB);
        // The appended CR LF is one more line end before the end of the text.
        EXPECT_EQ(r.reader.nextChar(), kEndOfText);
        EXPECT_EQ(r.reader.lineNumber(), c.lineOfB + 1);
    }
}

TEST(SourceReaderLines, EmptyFileIsOneLineEndThenTheEnd) {
    Reading r("");
    EXPECT_EQ(r.reader.peekChar(), '\r');
    EXPECT_EQ(r.reader.nextChar(), kEndOfText);
    EXPECT_EQ(r.reader.lineNumber(), 2);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.reader.nextChar(), kEndOfText);
    EXPECT_EQ(r.reader.peekChar(), kEndOfText);
    EXPECT_EQ(r.reader.lineNumber(), 2) << "the end of the text counts no further lines";
}

TEST(SourceReaderLines, ByteFFInsideTheFileReadsAsTheEnd) {
    Reading r(
        std::string_view("q\xFF"
                         "b",
                         3));
    EXPECT_EQ(r.reader.nextChar(), 'Q');
    EXPECT_EQ(r.reader.peekChar(), kEndOfText);
    EXPECT_EQ(r.reader.nextChar(), kEndOfText);
    EXPECT_EQ(r.reader.nextChar(), 'B') << "only the real end repeats for ever";
}

TEST(SourceReaderLines, PeekAtALineEndShowsTheLineEndByte) {
    Reading cr("a\r\nb");
    cr.reader.nextChar();
    EXPECT_EQ(cr.reader.peekChar(), '\r');
    EXPECT_EQ(cr.reader.peekChar(), '\r') << "peeking does not move";
    EXPECT_EQ(cr.reader.nextChar(), 'B');
    Reading lf("a\nb");
    lf.reader.nextChar();
    EXPECT_EQ(lf.reader.peekChar(), '\n');
    EXPECT_EQ(lf.reader.lineNumber(), 1);
    EXPECT_EQ(Reading("z").reader.peekChar(), 'Z');
}

TEST(SourceReaderLines, UnreadStopsAtTheStartAndKeepsTheLineCounters) {
    Reading r("a\nb");
    r.reader.unreadChar();
    EXPECT_EQ(r.reader.position(), 0u);
    EXPECT_EQ(r.reader.nextChar(), 'A');
    EXPECT_EQ(r.reader.nextChar(), 'B');
    r.reader.unreadChar();
    EXPECT_EQ(r.reader.position(), 2u);
    EXPECT_EQ(r.reader.lineNumber(), 2);
    EXPECT_EQ(r.reader.nextChar(), 'B');
    EXPECT_EQ(r.reader.lineNumber(), 2);
}

TEST(SourceReaderLines, UnreadAtTheEndStepsBackOntoTheAppendedLineFeed) {
    Reading r("a");
    r.reader.nextChar();
    EXPECT_EQ(r.reader.nextChar(), kEndOfText);
    EXPECT_EQ(r.reader.lineNumber(), 2);
    r.reader.unreadChar();
    EXPECT_EQ(r.reader.nextChar(), kEndOfText);
    EXPECT_EQ(r.reader.lineNumber(), 3) << "the lone LF is read again as a line end";
}

// --- Fields --------------------------------------------------------------------

TEST(SourceReaderFields, HexDigits) {
    const std::string_view digits = "0123456789ABCDEFabcdef";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(Reading(digits.substr(i, 1)).reader.readHexDigit(), i < 16 ? i : i - 6)
            << digits[i];
    }
    const auto digit = [](SourceReader& reader) { reader.readHexDigit(); };
    for (std::string_view bad : {"G", "g", ":", "@", "/", " ", "\t", "#", "\x80", "\xFF"}) {
        expectReadFault(bad, digit, 2, 1, 1);
    }
    expectReadFault("", digit, 2, 2, 0);
}

TEST(SourceReaderFields, HexBytesAreAlwaysTwoDigits) {
    const std::pair<std::string_view, int> good[] = {
        {"7f", 0x7F}, {"A0", 0xA0}, {"00", 0}, {"ff", 255}, {"4\r\n2", 0x42}};
    for (const auto& [text, value] : good) EXPECT_EQ(Reading(text).reader.readHexByte(), value);
    const auto byte = [](SourceReader& reader) { reader.readHexByte(); };
    expectReadFault("5 ", byte, 2, 1, 2);
    expectReadFault("G5", byte, 2, 1, 1);
    expectReadFault("5", byte, 2, 2, 0);            // no one-digit form
    expectReadFault("\r\n\r\n  9", byte, 2, 3, 1);  // the blank after two line ends
}

TEST(SourceReaderFields, InstrumentLettersAnswerErrorThree) {
    const std::string_view good = "ABCDEabcde";
    for (std::size_t i = 0; i < good.size(); ++i) {
        EXPECT_EQ(Reading(good.substr(i, 1)).reader.readInstrumentLetter(), i % 5) << good[i];
    }
    // Anything else, digits and the end of the text included, is out of range
    // (3), not a bad digit (2).
    const auto letter = [](SourceReader& reader) { reader.readInstrumentLetter(); };
    for (std::string_view bad : {"F", "f", "@", "1", " ", "Z", "\x80", "\xFF"}) {
        expectReadFault(bad, letter, 3, 1, 1);
    }
    expectReadFault("", letter, 3, 2, 0);
}

TEST(SourceReaderFields, ErrorPositionIsTheCursorInItsLine) {
    const auto eighth = [](SourceReader& reader) {
        for (int i = 0; i < 7; ++i) reader.nextChar();  // a b c d e f g
        reader.readHexDigit();
    };
    expectReadFault("abc\r\nde\nfgX", eighth, 2, 3, 3);
    expectReadFault("abc\r\nde\n\rfgX", eighth, 2, 3, 3);
    expectReadFault("abcdefg\tX", eighth, 2, 1, 8);
}

}  // namespace
}  // namespace quarvel
