// The frame loop of the renderer in its variants. Each one renders `count`
// frames for five output slots whose wave rows (already scaled by the slot's
// amplitude) and phase steps are fixed for the whole call. Phases are 16-bit
// and wrap; the left channel is slots 0 and 1, the right slots 2 to 4, each a
// 16-bit sum that wraps. All variants produce the same bytes.
#pragma once

#include <array>
#include <cstdint>

namespace quarvel {

struct MixState {
    std::array<std::uint16_t, 5> phase{};
    std::array<std::uint16_t, 5> step{};       // half the pitch increment
    std::array<const std::int16_t*, 5> row{};  // 256 scaled samples per slot
    std::array<bool, 5> flat{};                // the row holds one value 256 times
};

using MixKernel = void (*)(std::uint32_t* out, int count, MixState& state);

void mixPortable(std::uint32_t* out, int count, MixState& state);
#if defined(__x86_64__)
void mixAvx512(std::uint32_t* out, int count, MixState& state);
#endif

// The fastest variant this processor runs.
MixKernel selectMixKernel();

}  // namespace quarvel
