#include "compiler/source_reader.h"

#include <utility>

namespace quarvel {

SourceText::SourceText(std::string_view fileBytes)
    : SourceText(std::vector<std::uint8_t>(fileBytes.begin(), fileBytes.end())) {}

SourceText::SourceText(std::vector<std::uint8_t>&& fileBytes) : bytes_(std::move(fileBytes)) {
    bytes_.push_back('\r');
    bytes_.push_back('\n');
    end_ = bytes_.size();
    bytes_.push_back(kEndOfText);
    bytes_.push_back(0);
}

SourceReader::SourceReader(const SourceText& text)
    : bytes_(text.bytes().data()), end_(text.end()) {}

// Skips any run of line ends, counting lines, then reads as nextChar does.
std::uint8_t SourceReader::nextCharAfterLineEnds() {
    for (;;) {
        if (cursor_ >= end_) return kEndOfText;
        const std::uint8_t c = bytes_[cursor_++];
        if (c != '\r' && c != '\n') return foldUpper(c);
        // CR LF and LF CR are one line end; CR CR and LF LF are two.
        const std::uint8_t pair = (c == '\r') ? '\n' : '\r';
        if (cursor_ < end_ && bytes_[cursor_] == pair) ++cursor_;
        ++lineNumber_;
        lineStart_ = cursor_;
        // A repeat passes its lines again; each line is kept once.
        if (lineStarts_ != nullptr && cursor_ > lineStarts_->back())
            lineStarts_->push_back(cursor_);
    }
}

std::uint8_t SourceReader::readHexDigit() {
    const std::uint8_t c = nextChar();
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    fail(2, "expected a hexadecimal digit (0-9, A-F)");
}

std::uint8_t SourceReader::readHexByte() {
    const std::uint8_t high = readHexDigit();
    const std::uint8_t low = readHexDigit();
    return static_cast<std::uint8_t>(high * 16 + low);
}

std::uint8_t SourceReader::readInstrumentLetter() {
    const auto index = static_cast<std::uint8_t>(nextChar() - 'A');
    if (index >= 5) fail(3, "expected an instrument letter A to E");
    return index;
}

std::uint8_t SourceReader::readDuration(std::uint8_t base) {
    unsigned total = base;
    unsigned half = base;
    std::uint8_t c = nextChar();
    if (c == ':') {  // triplet: two thirds, rounded down
        total = total * 2 / 3;
        c = nextChar();
    }
    while (c == '.') {  // each dot adds half of what the one before added
        half /= 2;
        total += half;
        c = nextChar();
    }
    if (total > 255) fail(6, "duration longer than 255 ticks");
    unreadChar();
    return static_cast<std::uint8_t>(total);
}

void SourceReader::fail(int number, std::string what) const {
    throw CompileError{number, lineNumber_,
                       static_cast<std::int64_t>(cursor_) - static_cast<std::int64_t>(lineStart_),
                       lineStart_, std::move(what)};
}

}  // namespace quarvel
