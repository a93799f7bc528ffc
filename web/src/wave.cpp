// The playground's sound numbers and WAVE head, from the program's own: the
// page reads the frame rate here (and hands it to its AudioContext), and its
// WAVE download takes its head from the writer that -w and --export use.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quarvel.h"
#include "synth/sample_format.h"
#include "synth/wave_head.h"

extern "C" {

// Frames a second.
QUARVEL_API int quarvel_web_sample_rate(void) {
    return quarvel::kFrameRate;
}

// The head of the WAVE file of a rendering of `frames` frames, the bytes -w
// writes in front of the samples: copied into `head` when `capacity` has room
// for all of it. Answers its length in bytes, or 0 when a WAVE file cannot
// hold that many frames (or frames is negative or not a number).
QUARVEL_API size_t quarvel_web_wave_head(double frames, uint8_t* head, size_t capacity) {
    if (!(frames >= 0 && frames < 0x1p63)) return 0;  // NaN too; the cast below is defined
    const auto count = static_cast<std::uint64_t>(frames);
    if (!quarvel::waveFits(count)) return 0;
    const quarvel::WaveHead bytes =
        quarvel::waveHead(static_cast<std::uint32_t>(count * quarvel::kBytesPerFrame));
    if (head != nullptr && capacity >= bytes.size()) std::memcpy(head, bytes.data(), bytes.size());
    return bytes.size();
}

}  // extern "C"
