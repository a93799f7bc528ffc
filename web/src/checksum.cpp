// The playground's checksum: the CRC-32 that `quarvelcd -c` prints (reflected,
// polynomial 0xEDB88320, the value complemented into the register and back
// out; -c starts from the value 0xFFFFFFFF, a register of 0), and the whole
// rest of a rendering summed inside the WebAssembly, with no copy of the frames
// out to JavaScript.
#include <array>
#include <cstddef>
#include <cstdint>

#include "quarvel.h"

// The records web/src/quarvel.js reads out of the module's memory, by these
// sizes and offsets (its *_BYTES constants and the indices of its readers):
// checked here, where the layout is known, so that a change to quarvel.h
// cannot leave the page reading the wrong fields. wasm32: 4-byte int and
// pointer, 8-byte uint64_t aligned to 8.
#if defined(__wasm32__)
#define QUARVEL_AT(record, field, offset) \
    static_assert(offsetof(record, field) == (offset), #record "." #field " moved")
static_assert(sizeof(quarvel_diagnostic) == 12 + 256);  // DIAGNOSTIC_BYTES
QUARVEL_AT(quarvel_diagnostic, number, 0);
QUARVEL_AT(quarvel_diagnostic, line, 4);
QUARVEL_AT(quarvel_diagnostic, column, 8);
QUARVEL_AT(quarvel_diagnostic, message, 12);
static_assert(sizeof(quarvel_bar) == 24);  // BAR_BYTES
QUARVEL_AT(quarvel_bar, number, 0);
QUARVEL_AT(quarvel_bar, first_line, 4);
QUARVEL_AT(quarvel_bar, first_column, 8);
QUARVEL_AT(quarvel_bar, last_line, 12);
QUARVEL_AT(quarvel_bar, last_column, 16);
QUARVEL_AT(quarvel_bar, ticks, 20);
static_assert(sizeof(quarvel_position) == 32);  // POSITION_BYTES
QUARVEL_AT(quarvel_position, frame, 0);
QUARVEL_AT(quarvel_position, total_frames, 8);
QUARVEL_AT(quarvel_position, part, 16);
QUARVEL_AT(quarvel_position, bar, 20);
QUARVEL_AT(quarvel_position, bar_start_frame, 24);
static_assert(sizeof(quarvel_note) == 56);  // NOTE_BYTES
QUARVEL_AT(quarvel_note, voice, 0);
QUARVEL_AT(quarvel_note, slot, 4);
QUARVEL_AT(quarvel_note, instrument, 8);
QUARVEL_AT(quarvel_note, note, 12);
QUARVEL_AT(quarvel_note, level, 16);
QUARVEL_AT(quarvel_note, start_frame, 24);
QUARVEL_AT(quarvel_note, frames, 32);
QUARVEL_AT(quarvel_note, bar, 40);
QUARVEL_AT(quarvel_note, line, 44);
QUARVEL_AT(quarvel_note, column, 48);
#undef QUARVEL_AT
static_assert(QUARVEL_NOTES_ENOMEM == 0xFFFFFFFFu);  // NOTES_ENOMEM
#endif

namespace {

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables makeTables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t i = 0; i < 256; ++i) {
        for (std::size_t s = 1; s < 8; ++s) t[s][i] = t[0][t[s - 1][i] & 0xFF] ^ (t[s - 1][i] >> 8);
    }
    return t;
}

constexpr Tables kTables = makeTables();

}  // namespace

extern "C" {

QUARVEL_API uint32_t quarvel_web_crc32(uint32_t crc, const uint8_t* bytes, size_t length) {
    if (bytes == nullptr) return crc;
    std::uint32_t c = ~crc;
    std::size_t i = 0;
    const auto word = [bytes](std::size_t at) {
        return static_cast<std::uint32_t>(bytes[at]) |
               static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
               static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
               static_cast<std::uint32_t>(bytes[at + 3]) << 24;
    };
    for (; i + 8 <= length; i += 8) {  // eight bytes a step
        const std::uint32_t low = c ^ word(i);
        const std::uint32_t high = word(i + 4);
        c = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^
            kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^
            kTables[2][(high >> 8) & 0xFF] ^ kTables[1][(high >> 16) & 0xFF] ^
            kTables[0][high >> 24];
    }
    for (; i < length; ++i) c = kTables[0][(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

// Renders what is left of a player into `buffer` (room for `capacity` frames)
// over and over, and answers the CRC-32 of all of it; *frames gets the count.
QUARVEL_API uint32_t quarvel_web_render_crc(quarvel_player* player, int16_t* buffer,
                                            size_t capacity, double* frames) {
    std::uint32_t crc = 0xFFFFFFFFu;  // the register starts at 0, as -c sums
    double total = 0;
    for (;;) {
        const size_t n = quarvel_player_render(player, buffer, capacity);
        if (n == 0) break;
        crc = quarvel_web_crc32(crc, reinterpret_cast<const std::uint8_t*>(buffer), 4 * n);
        total += static_cast<double>(n);
    }
    if (frames != nullptr) *frames = total;
    return crc;
}

}  // extern "C"
