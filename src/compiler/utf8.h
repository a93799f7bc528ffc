#pragma once

#include <cstddef>
#include <string_view>

namespace quarvel {

// One character of UTF-8 text: its code point and how many bytes it takes.
struct Utf8Char {
    char32_t code;
    std::size_t length;  // 0: the bytes there are no valid character
};

// Decodes the character that starts at text[i] (i < text.size()). Only a
// whole, shortest sequence of a Unicode scalar value counts: a stray
// continuation byte, an overlong form, a surrogate, a value past U+10FFFF or a
// sequence cut off by the end of the text give length 0. The one decoder for
// every place that reads score text or names as UTF-8.
constexpr Utf8Char decodeUtf8(std::string_view text, std::size_t i) noexcept {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) return {c, 1};
    std::size_t length = 0;
    char32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code = c & 0x07u;
    } else {
        return {c, 0};
    }
    if (length > text.size() - i) return {c, 0};
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return {c, 0};
        code = (code << 6) | (next & 0x3Fu);
    }
    const bool shortest =
        length == 2 || (length == 3 && code >= 0x800) || (length == 4 && code >= 0x10000);
    if (!shortest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return {c, 0};
    return {code, length};
}

}  // namespace quarvel
