#include "synth/wave_head.h"

namespace quarvel {

namespace {

// Little-endian fields, written in order.
class HeadWriter {
  public:
    explicit HeadWriter(WaveHead& head) : head_(head) {}
    void tag(const char (&text)[5]) {
        for (int i = 0; i < 4; ++i) head_[at_++] = static_cast<std::uint8_t>(text[i]);
    }
    void u32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i) head_[at_++] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    void u16(std::uint16_t value) {
        head_[at_++] = static_cast<std::uint8_t>(value);
        head_[at_++] = static_cast<std::uint8_t>(value >> 8);
    }

  private:
    WaveHead& head_;
    std::size_t at_ = 0;
};

}  // namespace

WaveHead waveHead(std::uint32_t dataBytes) {
    WaveHead head{};
    HeadWriter out(head);
    out.tag("RIFF");
    out.u32(static_cast<std::uint32_t>(kRiffSizeBeforeData) + dataBytes);
    out.tag("WAVE");
    out.tag("fmt ");
    out.u32(kWaveFormatChunkBytes);
    out.u16(1);  // PCM
    out.u16(kChannels);
    out.u32(kFrameRate);
    out.u32(kBytesPerSecond);
    out.u16(kBytesPerFrame);
    out.u16(kBitsPerSample);
    out.u16(0);  // no extra format bytes
    out.tag("data");
    out.u32(dataBytes);
    return head;
}

}  // namespace quarvel
