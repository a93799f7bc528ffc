// Score parts: "P" closes the open part and opens a new one, optionally
// numbered; "R" closes it and makes the next part replay an earlier numbered
// part's events. A part's header is filled when the part closes, so it records
// the settings in force at its end.
#include "compiler/score_compiler.h"

namespace quarvel {

// The image starts with an empty part 0 that records the settings in force
// before the text is read.
void ScoreCompiler::resetImage() {
    image.parts.clear();
    image.events.clear();
    for (auto& queue : queues) {
        queue.tail = 0;
        queue.at(0).duration = kQueueEndMark;
    }
    partEventStart = 0;
    firstPartNumbered_.fill(std::nullopt);
    PartHeader first;
    fillHeader(first);
    linkPart(first);
    image.events.push_back(ScoreEvent{});  // its terminator
    partEventStart = image.events.size();
}

void ScoreCompiler::fillHeader(PartHeader& header) const {
    header.events = partEventStart;
    header.number = settings.partNumber;
    const auto& slotMap = kSlotMaps[state.slotMapIndex];
    for (int v = 0; v < kVoices; ++v)
        header.slotInstrument[slotMap[v]] = settings.voiceInstrument[v];
    header.decayRate = settings.decayRate;
    header.beatUnit = settings.beatUnit;
    header.tempoIndex = settings.tempoIndex;
}

void ScoreCompiler::closePart() {
    mergeVoiceQueues();
    image.events.push_back(ScoreEvent{});  // terminator
    PartHeader header;
    fillHeader(header);
    linkPart(header);
    partEventStart = image.events.size();
    warn_.partFirstToken = notesQueued_;
    warn_.voiceSoundedInPart.fill(false);
    warn_.replayAt.reset();
}

void ScoreCompiler::linkPart(const PartHeader& header) {
    if (!firstPartNumbered_[header.number]) firstPartNumbered_[header.number] = image.parts.size();
    image.parts.push_back(header);
}

std::optional<std::size_t> ScoreCompiler::findPart(std::uint8_t number) const {
    return firstPartNumbered_[number];
}

// "P" with an optional number written directly after it.
void ScoreCompiler::partCommand() {
    warn_.mergeAt = commandPoint();
    closePart();
    if (reader.peekChar() <= 0x20) {
        settings.partNumber = 0;
        return;
    }
    settings.partNumber = reader.readHexByte(
        "the part `P` takes two hexadecimal digits right after it, or a blank for no number");
    if (settings.partNumber != 0 && findPart(settings.partNumber)) {
        reader.fail(CompileErrorNumber::partNumber,
                    "the part `P` takes a number no earlier part has; part " +
                        std::string(1, "0123456789ABCDEF"[settings.partNumber >> 4]) +
                        "0123456789ABCDEF"[settings.partNumber & 15] +
                        " is already closed (`P` alone or `P00` makes an unnumbered part)");
    }
}

// "R" hh: the next part plays part hh's events again.
void ScoreCompiler::replayCommand() {
    const TextPoint at = commandPoint();
    warn_.mergeAt = at;
    closePart();
    const std::uint8_t number = reader.readHexByte(
        "the replay `R` takes two hexadecimal digits, the number of an earlier part");
    const auto found = number == 0 ? std::nullopt : findPart(number);
    if (!found) {
        reader.fail(CompileErrorNumber::partNumber,
                    number == 0 ? std::string("the replay `R` takes the number of an earlier "
                                              "part; `R00` names none")
                                : "the replay `R` takes the number of an earlier part; no part "
                                  "closed so far has this one (a part can be replayed only "
                                  "after it)");
    }
    partEventStart = image.parts[*found].events;
    warn_.replayAt = at;
}

}  // namespace quarvel
