// Built with floating-point contraction off: every product and sum below is
// rounded on its own, in the order written, so the tables come out the same on
// every machine.
#include "synth/tables.h"

#include <cmath>

namespace quarvel {

namespace {

constexpr double kCircle = 3.14159265;  // the waveforms are defined with this value, not pi

}  // namespace

// Sum of eight harmonics, harmonic k with strength digit k, scaled by the
// volume and normalised by the digit sum.
std::array<std::int16_t, kWaveLength> harmonicWave(const Instrument& instrument) {
    std::array<std::int16_t, kWaveLength> wave{};
    double sum = 0.0;
    for (const auto digit : instrument.digits) sum += digit;
    if (sum == 0.0) return wave;
    for (int j = 0; j < kWaveLength; ++j) {
        double v = 0.0;
        for (int k = 1; k <= 8; ++k) {
            double angle = static_cast<double>(k * j);
            angle = angle * 2;
            angle = angle * kCircle;
            angle = angle / 256;
            v = std::sin(angle) * instrument.digits[k - 1] + v;
        }
        const double volume = static_cast<double>(instrument.volume) / 15;
        const double x = ((v * 42.5) * volume) / sum;
        wave[j] = static_cast<std::int16_t>(static_cast<std::int32_t>(std::floor(x)));
    }
    return wave;
}

// A 32-bit shift register seeded with the first four digits and fed back with
// the last four; bit 15 gates the volume. The register is never cut to 16
// bits, and only an all-zero register is reloaded.
std::array<std::int16_t, kWaveLength> patternWave(const Instrument& instrument) {
    std::uint32_t seed = 0;
    std::uint32_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        seed = seed * 16 + instrument.digits[i];
        mask = mask * 16 + instrument.digits[i + 4];
    }
    std::array<std::int16_t, kWaveLength> wave{};
    std::uint32_t reg = seed;
    for (int j = 0; j < kWaveLength; ++j) {
        if (reg == 0) reg = mask;
        reg <<= 1;
        if (reg & 0x10000u) reg ^= mask;
        wave[j] = (reg & 0x8000u) ? static_cast<std::int16_t>(instrument.volume * 3) : 0;
    }
    return wave;
}

Tables buildTables(const std::array<Instrument, kVoices>& instruments) {
    Tables tables;
    for (int i = 0; i < kVoices; ++i) {
        tables.waveTables[i] =
            instruments[i].kind == 1 ? harmonicWave(instruments[i]) : patternWave(instruments[i]);
    }

    // Equal temperament: note n sounds at 27.5 * 2^((n + 2) / 12) Hz, as an
    // increment of a 16-bit phase at 22050 steps per second.
    tables.pitchTable[0] = 0;
    for (int i = 0; i < 72; ++i) {
        double x = std::log(2.0) * (i + 3);
        x = x / 12;
        x = x + std::log(27.5);
        x = std::exp(x);
        x = x * 65536;
        x = x / 22050;
        x = x + 0.5;
        tables.pitchTable[i + 1] =
            static_cast<std::uint16_t>(static_cast<std::int32_t>(std::floor(x)));
    }
    // Sixteen noise rates, each half as much again as the one before.
    std::uint32_t rate = 96;
    for (int n = 73; n <= 88; ++n) {
        tables.pitchTable[n] = static_cast<std::uint16_t>(rate);
        rate += rate / 2;
    }
    tables.pitchTable[89] = 32748;

    for (int j = 0; j < kTempoIndexes; ++j) {
        const int entry = (j * 430) >> 8;
        tables.tempoTable[j] = static_cast<std::uint8_t>(entry == 0 ? 1 : entry);
    }
    return tables;
}

}  // namespace quarvel
