// Note codes as the note tokens write them and the merger reads them.
#pragma once

#include <cstdint>

namespace quarvel {

inline constexpr std::uint8_t kRestCode = 0x70;
inline constexpr std::uint8_t kDownBit = 0x80;  // the degree counts downward
inline constexpr int kNotAccidental = 99;

enum class NoteClass : std::uint8_t {
    plain = 0,
    natural = 1,
    sharp = 2,
    doubleSharp = 3,
    flat = 4,
    doubleFlat = 5,
    noise = 6,
    rest = 7,
};

inline constexpr NoteClass noteClassOf(std::uint8_t code) {
    return static_cast<NoteClass>((code >> 4) & 7);
}

// The first noise rate's note number; noise degrees 0..15 follow it.
inline constexpr std::uint8_t kFirstNoiseNote = 73;
// The diatonic index of degree 0 with no step offset: the C that is note 37.
inline constexpr int kDegreeZeroIndex = 21;
inline constexpr std::uint8_t degreeOf(std::uint8_t code) {
    return code & 0x0F;
}
inline constexpr bool isDown(std::uint8_t code) {
    return (code & kDownBit) != 0;
}

// The signed degree of a pitched code: -15..16, where an upward 0 means 16 ("G").
inline constexpr int signedDegree(std::uint8_t code) {
    if (isDown(code)) return -degreeOf(code);
    return degreeOf(code) == 0 ? 16 : degreeOf(code);
}

}  // namespace quarvel
