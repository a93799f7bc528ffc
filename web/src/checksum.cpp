// The playground's checksum: the CRC-32 that `quarvelcd -c` prints (reflected,
// polynomial 0xEDB88320, the value complemented into the register and back
// out; -c starts from the value 0xFFFFFFFF, a register of 0), and the whole
// rest of a rendering summed inside the WebAssembly, with no copy of the frames
// out to JavaScript.
#include <array>
#include <cstddef>
#include <cstdint>

#include "quarvel.h"

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
