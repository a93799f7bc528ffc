#include "import/midi_reader.h"

#include <cstdio>
#include <optional>
#include <string_view>

namespace quarvel {

namespace {

std::uint32_t big(const std::uint8_t* p, int n) {
    std::uint32_t value = 0;
    for (int i = 0; i < n; ++i) value = (value << 8) | p[i];
    return value;
}

// One track chunk's bytes, read from the front.
class TrackBytes {
  public:
    TrackBytes(const std::uint8_t* data, std::size_t size, std::size_t number)
        : data_(data), size_(size), number_(number) {}

    bool atEnd() const { return pos_ >= size_; }

    std::uint8_t byte(const char* what) {
        if (pos_ >= size_) fail(std::string("the track ends inside ") + what);
        return data_[pos_++];
    }
    std::uint8_t peek() const { return data_[pos_]; }

    // A variable-length number: at most four bytes of seven bits.
    std::uint32_t variable(const char* what) {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t b = byte(what);
            value = (value << 7) | (b & 0x7F);
            if ((b & 0x80) == 0) return value;
        }
        fail(std::string(what) + " is longer than four bytes");
    }

    void skip(std::uint32_t length, const char* what) {
        if (length > size_ - pos_) {
            fail(std::string(what) + " of " + std::to_string(length) +
                 " bytes runs past the end of the track (" + std::to_string(size_ - pos_) +
                 " bytes left)");
        }
        pos_ += length;
    }
    const std::uint8_t* here() const { return data_ + pos_; }

    [[noreturn]] void fail(const std::string& why) const {
        throw MidiFormatError("track " + std::to_string(number_) + ": " + why);
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::size_t number_;
};

std::vector<MidiEvent> readTrack(TrackBytes in) {
    std::vector<MidiEvent> events;
    std::uint64_t tick = 0;
    std::uint8_t running = 0;  // the status a data byte continues; 0: none
    while (!in.atEnd()) {
        tick += in.variable("a delta time");
        std::uint8_t status = in.byte("an event");
        std::optional<std::uint8_t> first;  // a data byte under running status
        if (status < 0x80) {
            if (running == 0) in.fail("a data byte without a status byte before it");
            first = status;
            status = running;
        }
        MidiEvent event;
        event.tick = tick;
        if (status >= 0x80 && status < 0xF0) {
            running = status;
            const auto data = [&](const char* what) {
                const std::uint8_t b = in.byte(what);
                if (b >= 0x80) in.fail(std::string("a status byte where ") + what + " should be");
                return b;
            };
            if (!first) first = data("a channel event");
            const int type = status >> 4;
            const bool twoBytes = type != 0xC && type != 0xD;
            const std::uint8_t second = twoBytes ? data("a channel event") : 0;
            event.channel = status & 0x0F;
            if (type == 0x9 && second != 0) {
                event.kind = MidiEvent::Kind::noteOn;
            } else if (type == 0x8 || type == 0x9) {
                event.kind = MidiEvent::Kind::noteOff;
            } else if (type == 0xC) {
                event.kind = MidiEvent::Kind::program;
            } else {
                continue;  // aftertouch, controllers, pitch bend
            }
            event.a = *first;
            event.b = second;
            events.push_back(event);
            continue;
        }
        running = 0;  // meta and system-exclusive events cancel running status
        if (status == 0xF0 || status == 0xF7) {
            in.skip(in.variable("a system-exclusive length"), "a system-exclusive event");
            continue;
        }
        if (status != 0xFF) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", status);
            in.fail(std::string("status byte ") + hex + " has no place in a file");
        }
        const std::uint8_t type = in.byte("a meta event");
        const std::uint32_t length = in.variable("a meta event's length");
        const std::uint8_t* body = in.here();
        in.skip(length, "a meta event");
        if (type == 0x2F) {
            event.kind = MidiEvent::Kind::endOfTrack;
            events.push_back(event);
            return events;  // what follows the end of the track is not read
        }
        if (type == 0x51 && length >= 3) {
            event.kind = MidiEvent::Kind::tempo;
            event.value = static_cast<std::int32_t>(big(body, 3));
            if (event.value == 0) in.fail("a tempo of 0 microseconds per quarter note");
        } else if (type == 0x58 && length >= 2) {
            event.kind = MidiEvent::Kind::timeSignature;
            event.a = body[0];
            event.b = body[1];
            if (event.a == 0 || event.b > 6)
                in.fail("a time signature with no beats or a note value past 1/64");
        } else if (type == 0x59 && length >= 2) {
            event.kind = MidiEvent::Kind::keySignature;
            event.value = static_cast<std::int8_t>(body[0]);
            event.b = body[1] != 0 ? 1 : 0;
            if (event.value < -7 || event.value > 7)
                in.fail("a key signature of more than 7 sharps or flats");
        } else {
            continue;  // texts, markers, port and channel prefixes, sequencer data
        }
        events.push_back(event);
    }
    in.fail("no end-of-track event");
}

}  // namespace

MidiSong readMidiSong(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) throw MidiFormatError("the file is empty");
    if (size < 14 || std::string_view(reinterpret_cast<const char*>(bytes), 4) != "MThd") {
        throw MidiFormatError("not a Standard MIDI File (it does not begin with an MThd header)");
    }
    const std::uint32_t headerLength = big(bytes + 4, 4);
    if (headerLength < 6) throw MidiFormatError("the MThd header is shorter than 6 bytes");
    if (headerLength > size - 8)
        throw MidiFormatError("the MThd header runs past the end of the file");
    MidiSong song;
    song.format = static_cast<int>(big(bytes + 8, 2));
    const std::uint32_t trackCount = big(bytes + 10, 2);
    const std::uint32_t division = big(bytes + 12, 2);
    if (song.format == 2) {
        throw MidiFormatError(
            "a type 2 file (independent sequences) cannot be imported: only types 0 and 1");
    }
    if (song.format > 2) throw MidiFormatError("unknown file type " + std::to_string(song.format));
    if (division & 0x8000) {
        throw MidiFormatError(
            "the file counts time in SMPTE frames, not in ticks per quarter note: it has no beat "
            "to "
            "write a score on");
    }
    if (division == 0) throw MidiFormatError("the header gives 0 ticks per quarter note");
    song.division = static_cast<int>(division);

    std::size_t pos = 8 + headerLength;
    while (pos < size) {
        if (size - pos < 8) throw MidiFormatError("the file ends inside a chunk header");
        const std::string_view id(reinterpret_cast<const char*>(bytes + pos), 4);
        const std::uint32_t length = big(bytes + pos + 4, 4);
        pos += 8;
        const std::size_t number = song.tracks.size() + 1;
        if (length > size - pos) {
            throw MidiFormatError(
                (id == "MTrk" ? "track " + std::to_string(number) : std::string("a chunk")) +
                ": its length of " + std::to_string(length) +
                " bytes runs past the end of the file (" + std::to_string(size - pos) +
                " bytes left)");
        }
        if (id == "MTrk") song.tracks.push_back(readTrack(TrackBytes(bytes + pos, length, number)));
        pos += length;  // chunks of other kinds are skipped
    }
    if (song.tracks.size() < trackCount) {
        throw MidiFormatError("the header announces " + std::to_string(trackCount) +
                              " tracks, the file holds " + std::to_string(song.tracks.size()));
    }
    if (song.tracks.empty()) throw MidiFormatError("the file holds no track");
    return song;
}

}  // namespace quarvel
