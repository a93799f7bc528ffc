#include "support/image_text.h"

#include <gtest/gtest.h>

#include <sstream>

namespace quarvel {

namespace {

template <typename Bytes>
void putBytes(std::ostringstream& out, const Bytes& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out << (i == 0 ? "" : " ") << static_cast<int>(bytes[i]);
    }
}

}  // namespace

std::string eventText(const ScoreEvent& event) {
    if (event.duration == 0) return "end";
    std::ostringstream out;
    out << static_cast<int>(event.duration) << " | ";
    putBytes(out, event.note);
    out << " | ";
    putBytes(out, event.envelope);
    return out.str();
}

std::string headerText(const PartHeader& header) {
    std::ostringstream out;
    static constexpr char hex[] = "0123456789ABCDEF";
    out << '#' << hex[header.number >> 4] << hex[header.number & 15] << " events " << header.events
        << " inst ";
    putBytes(out, header.slotInstrument);
    out << " decay " << static_cast<int>(header.decayRate) << " beat "
        << static_cast<int>(header.beatUnit) << " tempo " << static_cast<int>(header.tempoIndex);
    return out.str();
}

std::string imageText(const ScoreImage& image) {
    std::ostringstream out;
    for (std::size_t i = 0; i < image.parts.size(); ++i) {
        out << "part " << i << ": " << headerText(image.parts[i]) << '\n';
    }
    for (std::size_t i = 0; i < image.events.size(); ++i) {
        out << "event " << i << ": " << eventText(image.events[i]) << '\n';
    }
    return out.str();
}

void PrintTo(const ScoreEvent& event, std::ostream* out) {
    *out << '{' << eventText(event) << '}';
}

void PrintTo(const PartHeader& header, std::ostream* out) {
    *out << '{' << headerText(header) << '}';
}

std::vector<ScoreEvent> partEvents(const ScoreImage& image, std::size_t part) {
    std::vector<ScoreEvent> events;
    if (part >= image.parts.size()) return events;
    for (std::size_t i = image.parts[part].events;
         i < image.events.size() && image.events[i].duration != 0; ++i) {
        events.push_back(image.events[i]);
    }
    return events;
}

std::optional<CompileError> compileFault(std::string_view text, Dialect dialect) {
    try {
        compileScore(SourceText(text), dialect);
    } catch (const CompileError& error) {
        return error;
    }
    return std::nullopt;
}

void expectFault(const FaultCase& fault, Dialect dialect) {
    SCOPED_TRACE(testing::Message() << "text \"" << fault.text << '"');
    const auto error = compileFault(fault.text, dialect);
    ASSERT_TRUE(error.has_value()) << "compiled without a fault";
    EXPECT_EQ(error->number, fault.number);
    EXPECT_EQ(error->line, fault.line);
    EXPECT_EQ(error->column, fault.column);
}

CompilerRun& CompilerRun::dispatchAll() {
    for (std::uint8_t c = compiler.reader.nextChar(); c != kEndOfText;
         c = compiler.reader.nextChar()) {
        compiler.dispatch(c);
    }
    return *this;
}

std::vector<QueueEntry> CompilerRun::waiting(int voice) const {
    const VoiceQueue& queue = compiler.queues[static_cast<std::size_t>(voice)];
    return {queue.storage.begin(), queue.storage.begin() + static_cast<std::ptrdiff_t>(queue.tail)};
}

}  // namespace quarvel
