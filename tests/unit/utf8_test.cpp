#include "compiler/utf8.h"

#include <gtest/gtest.h>

#include <string_view>

namespace quarvel {
namespace {

TEST(Utf8, DecodesWholeShortestSequencesOnly) {
    struct Case {
        std::string_view bytes;
        char32_t code;       // when valid
        std::size_t length;  // 0: not a character
    };
    const Case cases[] = {
        {"A", U'A', 1},
        {"\x7F", 0x7F, 1},
        {"\xC3\xA9", U'é', 2},
        {"\xC2\x9B", 0x9B, 2},  // a C1 control is a character; showing it is the caller's choice
        {"\xE2\x82\xAC", U'€', 3},
        {"\xF0\x9D\x84\x9E", U'𝄞', 4},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
        {"\x80", 0, 0},              // a continuation byte alone
        {"\xC0\x80", 0, 0},          // overlong
        {"\xC1\xBF", 0, 0},          // overlong
        {"\xE0\x9F\xBF", 0, 0},      // overlong
        {"\xF0\x8F\xBF\xBF", 0, 0},  // overlong
        {"\xED\xA0\x80", 0, 0},      // a surrogate
        {"\xF4\x90\x80\x80", 0, 0},  // past U+10FFFF
        {"\xE2\x82", 0, 0},          // cut off by the end
        {"\xE2\x41\xAC", 0, 0},      // a byte that does not continue
        {"\xFF", 0, 0},
    };
    for (const Case& c : cases) {
        const Utf8Char one = decodeUtf8(c.bytes, 0);
        EXPECT_EQ(one.length, c.length) << testing::PrintToString(c.bytes);
        if (c.length != 0) {
            EXPECT_EQ(one.code, c.code) << testing::PrintToString(c.bytes);
        }
    }
    // In the middle of a text, only the bytes from i on count.
    EXPECT_EQ(decodeUtf8("a\xC3\xA9", 1).length, 2u);
    EXPECT_EQ(decodeUtf8("a\xC3", 1).length, 0u);
}

}  // namespace
}  // namespace quarvel
