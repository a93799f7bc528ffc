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

std::uint8_t SourceReader::readHexDigit(std::string_view wanted) {
    const std::uint8_t c = nextChar();
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    fail(CompileErrorNumber::badCharacter, std::string(wanted) + "; found " + describe(c));
}

std::uint8_t SourceReader::readHexByte(std::string_view wanted) {
    const std::uint8_t high = readHexDigit(wanted);
    const std::uint8_t low = readHexDigit(wanted);
    return static_cast<std::uint8_t>(high * 16 + low);
}

std::uint8_t SourceReader::readInstrumentLetter(std::string_view wanted) {
    const std::uint8_t c = nextChar();
    const auto index = static_cast<std::uint8_t>(c - 'A');
    if (index >= 5) {
        fail(CompileErrorNumber::outOfRange, std::string(wanted) + "; found " + describe(c));
    }
    return index;
}

std::uint8_t SourceReader::readDuration(std::uint8_t base) {
    const TextPoint letter = lastRead();
    bool triplet = false;
    std::size_t dots = 0;
    std::uint8_t c = nextChar();
    if (c == ':') {  // triplet
        triplet = true;
        c = nextChar();
    }
    while (c == '.') {
        ++dots;
        c = nextChar();
    }
    const unsigned total = durationTicks(base, triplet, dots);
    if (total > kLongestDuration) [[unlikely]] {
        const std::string written = static_cast<char>(foldUpper(bytes_[letter.offset])) +
                                    std::string(triplet ? ":" : "") + std::string(dots, '.');
        failAt(CompileErrorNumber::durationTooLong,
               "the duration `" + written + "` is " + std::to_string(total) +
                   " ticks, longer than 255; the longest is `W:.` (224 ticks): tie two notes "
                   "for more",
               letter);
    }
    unreadChar();
    return static_cast<std::uint8_t>(total);
}

std::string SourceReader::describe(std::uint8_t c) {
    if (c == kEndOfText) return "the end of the text";
    if (c > 0x20 && c < 0x7F) return std::string("`") + static_cast<char>(c) + "`";
    if (c == ' ') return "a blank";
    if (c == '\t') return "a tab";
    static const char hex[] = "0123456789ABCDEF";
    return std::string("byte 0x") + hex[c >> 4] + hex[c & 15];
}

void SourceReader::fail(CompileErrorNumber number, std::string what) const {
    TextPoint where = lastRead();
    if (cursor_ >= end_) {
        // At the end of the text the counters have passed the line end that
        // was appended to the file: show the place just behind the file's
        // last character instead, on its own line.
        const std::size_t textEnd = end_ >= 2 ? end_ - 2 : 0;  // before the appended CR LF
        std::size_t last = textEnd;
        while (last > 0 && (bytes_[last - 1] == '\r' || bytes_[last - 1] == '\n')) --last;
        if (last == 0) {
            where = {0, 1, 1};
        } else {
            std::size_t lineBegin = last - 1;
            while (lineBegin > 0 && bytes_[lineBegin - 1] != '\r' && bytes_[lineBegin - 1] != '\n')
                --lineBegin;
            std::int32_t line = 1;
            for (std::size_t i = 0; i < lineBegin; ++i) {
                if (bytes_[i] != '\r' && bytes_[i] != '\n') continue;
                const std::uint8_t pair = bytes_[i] == '\r' ? '\n' : '\r';
                if (i + 1 < lineBegin && bytes_[i + 1] == pair) ++i;
                ++line;
            }
            where = {last, line, static_cast<std::int64_t>(last - lineBegin) + 1};
        }
    }
    if (cursor_ < end_ && cursor_ > 0 && bytes_[cursor_ - 1] == kEndOfText) {
        // "the end of the text" here is a byte of the file itself.
        what += " (a byte 0xFF in the file, which ends the text as the end of the file does)";
    }
    failAt(number, std::move(what), where);
}

void SourceReader::failAt(CompileErrorNumber number, std::string what, TextPoint where) const {
    throw CompileError{static_cast<int>(number),
                       lineNumber_,
                       static_cast<std::int64_t>(cursor_) - static_cast<std::int64_t>(lineStart_),
                       lineStart_,
                       std::move(what),
                       where,
                       {}};
}

}  // namespace quarvel
