#include "driver/messages.h"

#include <algorithm>
#include <cstdio>

#include "compiler/utf8.h"
#include "driver/status_line.h"

namespace quarvel {

namespace {

// The shown form of the character at text[i] goes to out (at most 4 bytes);
// answers how many bytes of the text it took.
std::size_t showOne(std::string_view text, std::size_t i, char* out, std::size_t& n) {
    static const char kHex[] = "0123456789abcdef";
    const auto c = static_cast<unsigned char>(text[i]);
    const auto hex = [&](unsigned char b) {
        out[n++] = '\\';
        out[n++] = 'x';
        out[n++] = kHex[b >> 4];
        out[n++] = kHex[b & 15];
    };
    if (c == '\t' || (c >= 0x20 && c < 0x7F)) {
        out[n++] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x20 || c == 0x7F) {
        out[n++] = '^';
        out[n++] = c == 0x7F ? '?' : static_cast<char>(c + 0x40);
        return 1;
    }
    // A whole, shortest UTF-8 sequence passes, unless it encodes a C1 control.
    if (const Utf8Char one = decodeUtf8(text, i); one.length > 1) {
        if (one.code < 0xA0) {
            hex(static_cast<unsigned char>(text[i + 1]));
        } else {
            for (std::size_t k = 0; k < one.length; ++k) out[n++] = text[i + k];
        }
        return one.length;
    }
    if (c < 0xA0) {
        hex(c);
    } else {
        out[n++] = static_cast<char>(c);
    }
    return 1;
}

}  // namespace

std::string inert(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    char piece[8];
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = 0;
        i += showOne(text, i, piece, n);
        shown.append(piece, n);
    }
    return shown;
}

void writeInert(std::FILE* out, std::string_view text) {
    char buffer[1024];
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (used + 8 > sizeof buffer) {
            std::fwrite(buffer, 1, used, out);
            used = 0;
        }
        i += showOne(text, i, buffer, used);
    }
    std::fwrite(buffer, 1, used, out);
}

void diagnose(const std::string& message) {
    eraseStatusLine();
    std::fflush(stdout);
    std::fputs("quarvelcd: ", stderr);
    writeInert(stderr, message);
    std::fputc('\n', stderr);
}

std::string errorContext(const CompileError& error, const SourceText& text) {
    // At most this many bytes of the line on either side of the caret.
    constexpr std::size_t kReach = 100;
    const auto& bytes = text.bytes();
    const std::size_t end = text.end();
    const std::size_t lineStart = std::min(error.lineStart, end);
    const std::int64_t column = error.column < 1 ? 1 : error.column;
    const auto caretOffset = static_cast<std::uint64_t>(column - 1);
    const std::size_t from = caretOffset > kReach
                                 ? lineStart + static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   caretOffset - kReach, end - lineStart))
                                 : lineStart;
    std::string line = from > lineStart ? "..." : "";
    const std::size_t lead = line.size();
    std::size_t i = from;
    for (; i < end && i - from < 2 * kReach; ++i) {
        const std::uint8_t c = bytes[i];
        if (c == '\r' || c == '\n') break;
        line.push_back((c == '\t' || (c >= 0x20 && c < 0x7F)) ? static_cast<char>(c) : '?');
    }
    if (i < end && bytes[i] != '\r' && bytes[i] != '\n') line += "...";
    // The caret goes under the last character read; tabs are copied so that
    // it lines up with the text above.
    const std::uint64_t caretAt =
        std::min<std::uint64_t>(lead + (lineStart + caretOffset - from), line.size());
    std::string caret;
    for (std::uint64_t k = 0; k < caretAt; ++k) {
        caret.push_back(k >= lead && line[k] == '\t' ? '\t' : ' ');
    }
    return "  " + line + "\n  " + caret + "^\n";
}

std::string jsonString(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // A valid UTF-8 character passes; anything else becomes U+FFFD.
        if (const std::size_t length = decodeUtf8(text, i).length; length != 0) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

}  // namespace quarvel
