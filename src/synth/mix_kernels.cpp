#include "synth/mix_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include <utility>
#endif

namespace quarvel {

void mixPortable(std::uint32_t* out, int count, MixState& state) {
    // Phases in the top 16 bits of 32-bit registers wrap at 65536 for free.
    std::uint32_t p0 = static_cast<std::uint32_t>(state.phase[0]) << 16;
    std::uint32_t p1 = static_cast<std::uint32_t>(state.phase[1]) << 16;
    std::uint32_t p2 = static_cast<std::uint32_t>(state.phase[2]) << 16;
    std::uint32_t p3 = static_cast<std::uint32_t>(state.phase[3]) << 16;
    std::uint32_t p4 = static_cast<std::uint32_t>(state.phase[4]) << 16;
    const std::uint32_t s0 = static_cast<std::uint32_t>(state.step[0]) << 16;
    const std::uint32_t s1 = static_cast<std::uint32_t>(state.step[1]) << 16;
    const std::uint32_t s2 = static_cast<std::uint32_t>(state.step[2]) << 16;
    const std::uint32_t s3 = static_cast<std::uint32_t>(state.step[3]) << 16;
    const std::uint32_t s4 = static_cast<std::uint32_t>(state.step[4]) << 16;
    const std::int16_t* r0 = state.row[0];
    const std::int16_t* r1 = state.row[1];
    const std::int16_t* r2 = state.row[2];
    const std::int16_t* r3 = state.row[3];
    const std::int16_t* r4 = state.row[4];
    for (int i = 0; i < count; ++i) {
        p0 += s0;
        p1 += s1;
        p2 += s2;
        p3 += s3;
        p4 += s4;
        const auto left = static_cast<std::uint16_t>(r0[p0 >> 24] + r1[p1 >> 24]);
        const auto right = static_cast<std::uint16_t>(r2[p2 >> 24] + r3[p3 >> 24] + r4[p4 >> 24]);
        out[i] = left | static_cast<std::uint32_t>(right) << 16;
    }
    state.phase = {static_cast<std::uint16_t>(p0 >> 16), static_cast<std::uint16_t>(p1 >> 16),
                   static_cast<std::uint16_t>(p2 >> 16), static_cast<std::uint16_t>(p3 >> 16),
                   static_cast<std::uint16_t>(p4 >> 16)};
}

#if defined(__x86_64__)

namespace {

// 32 frames at a time in 16-bit lanes. A 256-entry row is eight registers of
// 32 samples; two-register permutes look up 64 entries each by the low six
// bits of the column, and the top two bits pick among the four results.
__attribute__((target("avx512f,avx512bw"))) inline __m512i lookup(const std::int16_t* row,
                                                                    __m512i column) {
    const __m512i* r = reinterpret_cast<const __m512i*>(row);
    const __m512i q0 = _mm512_permutex2var_epi16(_mm512_loadu_si512(r + 0), column,
                                                 _mm512_loadu_si512(r + 1));
    const __m512i q1 = _mm512_permutex2var_epi16(_mm512_loadu_si512(r + 2), column,
                                                 _mm512_loadu_si512(r + 3));
    const __m512i q2 = _mm512_permutex2var_epi16(_mm512_loadu_si512(r + 4), column,
                                                 _mm512_loadu_si512(r + 5));
    const __m512i q3 = _mm512_permutex2var_epi16(_mm512_loadu_si512(r + 6), column,
                                                 _mm512_loadu_si512(r + 7));
    const __mmask32 bit6 = _mm512_test_epi16_mask(column, _mm512_set1_epi16(0x40));
    const __mmask32 bit7 = _mm512_test_epi16_mask(column, _mm512_set1_epi16(0x80));
    const __m512i low = _mm512_mask_blend_epi16(bit6, q0, q1);
    const __m512i high = _mm512_mask_blend_epi16(bit6, q2, q3);
    return _mm512_mask_blend_epi16(bit7, low, high);
}

// One block loop per set of sounding slots: a slot that rests (step 0) or
// whose row is flat gives the same sample in every frame of the call, so it is
// added as a constant and never looked up.
template <unsigned Active>
__attribute__((target("avx512f,avx512bw"))) void mixBlocks(std::uint32_t* out, int blocks,
                                                            const MixState& state,
                                                            std::uint16_t constantLeft,
                                                            std::uint16_t constantRight) {
    const __m512i constLeft = _mm512_set1_epi16(static_cast<short>(constantLeft));
    const __m512i constRight = _mm512_set1_epi16(static_cast<short>(constantRight));
    // Lane k holds the phase after frame k+1 of the block.
    alignas(64) std::uint16_t lane[32];
    __m512i phase[5];
    __m512i advance[5];
    for (int s = 0; s < 5; ++s) {
        for (int k = 0; k < 32; ++k) {
            lane[k] = static_cast<std::uint16_t>(state.phase[s] + (k + 1) * state.step[s]);
        }
        phase[s] = _mm512_load_si512(lane);
        advance[s] = _mm512_set1_epi16(static_cast<short>(state.step[s] * 32));
    }
    // Interleave left and right words into frames 0-15 and 16-31.
    alignas(64) std::uint16_t order[2][32];
    for (int k = 0; k < 16; ++k) {
        order[0][2 * k] = static_cast<std::uint16_t>(k);
        order[0][2 * k + 1] = static_cast<std::uint16_t>(32 + k);
        order[1][2 * k] = static_cast<std::uint16_t>(16 + k);
        order[1][2 * k + 1] = static_cast<std::uint16_t>(48 + k);
    }
    const __m512i firstHalf = _mm512_load_si512(order[0]);
    const __m512i secondHalf = _mm512_load_si512(order[1]);
    for (int b = 0; b < blocks; ++b) {
        __m512i left = constLeft;
        __m512i right = constRight;
        if constexpr ((Active & 1u) != 0) {
            left = _mm512_add_epi16(left, lookup(state.row[0], _mm512_srli_epi16(phase[0], 8)));
            phase[0] = _mm512_add_epi16(phase[0], advance[0]);
        }
        if constexpr ((Active & 2u) != 0) {
            left = _mm512_add_epi16(left, lookup(state.row[1], _mm512_srli_epi16(phase[1], 8)));
            phase[1] = _mm512_add_epi16(phase[1], advance[1]);
        }
        if constexpr ((Active & 4u) != 0) {
            right = _mm512_add_epi16(right, lookup(state.row[2], _mm512_srli_epi16(phase[2], 8)));
            phase[2] = _mm512_add_epi16(phase[2], advance[2]);
        }
        if constexpr ((Active & 8u) != 0) {
            right = _mm512_add_epi16(right, lookup(state.row[3], _mm512_srli_epi16(phase[3], 8)));
            phase[3] = _mm512_add_epi16(phase[3], advance[3]);
        }
        if constexpr ((Active & 16u) != 0) {
            right = _mm512_add_epi16(right, lookup(state.row[4], _mm512_srli_epi16(phase[4], 8)));
            phase[4] = _mm512_add_epi16(phase[4], advance[4]);
        }
        _mm512_storeu_si512(out + 32 * b, _mm512_permutex2var_epi16(left, firstHalf, right));
        _mm512_storeu_si512(out + 32 * b + 16, _mm512_permutex2var_epi16(left, secondHalf, right));
    }
}

using BlockLoop = void (*)(std::uint32_t*, int, const MixState&, std::uint16_t, std::uint16_t);

template <unsigned... Masks>
constexpr std::array<BlockLoop, sizeof...(Masks)> blockLoops(std::integer_sequence<unsigned, Masks...>) {
    return {&mixBlocks<Masks>...};
}

}  // namespace

__attribute__((target("avx512f,avx512bw"))) void mixAvx512(std::uint32_t* out, int count,
                                                            MixState& state) {
    static constexpr auto loops = blockLoops(std::make_integer_sequence<unsigned, 32>{});
    const int blocks = count / 32;
    if (blocks > 0) {
        unsigned active = 0;
        std::uint16_t constant[2] = {0, 0};
        for (int s = 0; s < 5; ++s) {
            if (state.step[s] != 0 && !state.flat[s]) {
                active |= 1u << s;
            } else {
                // Read after the advance, as every frame does.
                const auto column = static_cast<std::uint16_t>(state.phase[s] + state.step[s]) >> 8;
                constant[s < 2 ? 0 : 1] =
                    static_cast<std::uint16_t>(constant[s < 2 ? 0 : 1] + state.row[s][column]);
            }
        }
        loops[active](out, blocks, state, constant[0], constant[1]);
        for (int s = 0; s < 5; ++s) {
            state.phase[s] = static_cast<std::uint16_t>(state.phase[s] + blocks * 32 * state.step[s]);
        }
    }
    mixPortable(out + 32 * blocks, count - 32 * blocks, state);
}

#endif

MixKernel selectMixKernel() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) return mixAvx512;
#endif
    return mixPortable;
}

}  // namespace quarvel
