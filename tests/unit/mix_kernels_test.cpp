#include "synth/mix_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace quarvel {
namespace {

// Every vector variant must give the portable loop's bytes and leave the
// phases where it leaves them, for any length, including the 16-bit wrap of
// the channel sums and steps of every size.
TEST(MixKernels, VariantsAreByteIdentical) {
#if defined(__x86_64__)
    if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw")) {
        GTEST_SKIP() << "no AVX-512BW here";
    }
    std::mt19937 random(12345);
    std::vector<std::int16_t> rows(5 * 256);
    for (int trial = 0; trial < 400; ++trial) {
        const bool loud = trial % 3 == 0;  // big samples make the sums wrap
        for (auto& sample : rows) {
            sample = static_cast<std::int16_t>(loud ? random() % 65536 : random() % 23000 - 11500);
        }
        MixState a;
        for (int s = 0; s < 5; ++s) {
            a.phase[s] = static_cast<std::uint16_t>(random());
            a.step[s] =
                static_cast<std::uint16_t>(trial % 4 == 0 ? random() % 64 : random() % 32768);
            a.row[s] = &rows[static_cast<std::size_t>(s) * 256];
        }
        if (trial % 7 == 0) a.step[trial % 5] = 0;  // a rest holds its phase
        // Silent or flat rows: the vector loop adds them as constants.
        for (int s = 0; s < 5; ++s) {
            if ((trial + s) % 3 != 0) continue;
            const auto value = static_cast<std::int16_t>(trial % 2 == 0 ? 0 : random() % 65536);
            std::fill_n(rows.begin() + s * 256, 256, value);
            a.flat[s] = true;
        }
        MixState b = a;
        const int count = static_cast<int>(random() % 700);
        std::vector<std::uint32_t> expected(static_cast<std::size_t>(count) + 1, 0xDEADBEEF);
        std::vector<std::uint32_t> actual(expected);
        mixPortable(expected.data(), count, a);
        mixAvx512(actual.data(), count, b);
        ASSERT_EQ(actual, expected) << "trial " << trial << " count " << count;
        ASSERT_EQ(a.phase, b.phase) << "trial " << trial;
    }
#else
    GTEST_SKIP() << "no vector variant on this processor family";
#endif
}

TEST(MixKernels, PortableLoopFollowsThePhaseAndTheWrap) {
    // Slot 2 to 4 at 11475 each sum to 34425, stored as -31111 (0x8679).
    std::vector<std::int16_t> flat(256, 11475);
    std::vector<std::int16_t> ramp(256);
    for (int j = 0; j < 256; ++j) ramp[j] = static_cast<std::int16_t>(j);
    MixState state;
    state.row = {ramp.data(), ramp.data(), flat.data(), flat.data(), flat.data()};
    state.step = {654, 0, 0, 0, 0};
    state.phase = {65000, 256, 0, 0, 0};
    std::uint32_t out[2];
    mixPortable(out, 2, state);
    // Frame 1: slot 0 at (65000 + 654) mod 65536 = 118, column 0; slot 1 column 1.
    EXPECT_EQ(out[0], 0x86790001u);
    // Frame 2: 772, column 3.
    EXPECT_EQ(out[1], 0x86790004u);
    EXPECT_EQ(state.phase[0], 772);
}

}  // namespace
}  // namespace quarvel
