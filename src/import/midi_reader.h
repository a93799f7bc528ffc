// A Standard MIDI File read into the events an import needs: notes on and
// off, program changes, tempo, time and key signatures. Types 0 and 1 and any
// number of ticks per quarter note; running status; every other meta and
// system-exclusive event skipped. A file that breaks the format is refused
// with a one-line reason, never half read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarvel {

// Why a file cannot be read, in one line ("track 2: ...").
struct MidiFormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct MidiEvent {
    enum class Kind : std::uint8_t {
        noteOn,         // a = key, b = velocity (1..127)
        noteOff,        // a = key (a note-on of velocity 0 is one)
        program,        // a = program 0..127
        tempo,          // value = microseconds per quarter note
        timeSignature,  // a = numerator, b = denominator as a power of two
        keySignature,   // value = sharps (negative: flats), b = 1 for minor
        endOfTrack,
    };
    std::uint64_t tick = 0;  // from the start of the track, in the file's ticks
    Kind kind = Kind::noteOn;
    std::uint8_t channel = 0;  // 0..15, for channel events
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    std::int32_t value = 0;
};

struct MidiSong {
    int format = 0;    // 0 or 1
    int division = 0;  // ticks per quarter note
    std::vector<std::vector<MidiEvent>> tracks;
};

// Reads the whole file's bytes. Throws MidiFormatError.
MidiSong readMidiSong(const std::uint8_t* bytes, std::size_t size);

}  // namespace quarvel
