#include "output/render_loop.h"

#include <libdeflate.h>

#include <algorithm>

namespace quarvel {

std::uint32_t crcUpdate(std::uint32_t value, const void* bytes, std::size_t length) {
    return libdeflate_crc32(value, bytes, length);
}

RenderResult renderInto(Player& player, FrameSink& sink, bool keepCrc, std::uint64_t limit) {
    RenderResult result;
    const auto account = [&](const std::uint32_t* buffer, std::size_t frames) {
        result.samplesRendered += static_cast<double>(frames);
        if (keepCrc) result.streamCrc = crcUpdate(result.streamCrc, buffer, 4 * frames);
    };
    std::uint32_t* buffer = sink.exchangeBuffer(nullptr, 0);
    std::size_t filled = 0;
    std::uint64_t left = limit;
    for (;;) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBufferFrames - filled, left));
        const std::size_t got = want == 0 ? 0 : player.render(buffer + filled, want);
        filled += got;
        left -= got;
        if (filled < kBufferFrames) break;  // the end of the range
        account(buffer, filled);
        buffer = sink.exchangeBuffer(buffer, kBufferFrames);
        filled = 0;
        if (buffer == nullptr) return result;  // the user stopped
    }
    if (filled > 0) account(buffer, filled);
    std::uint32_t* last = sink.exchangeBuffer(buffer, static_cast<int>(filled));
    if (last != nullptr) sink.exchangeBuffer(last, -1);
    return result;
}

RenderResult renderScore(const CompiledScore& score, const Tables& tables, int startPart,
                         FrameSink& sink, MixKernel kernel, bool keepCrc) {
    Player player(score, tables, startPart, kernel);
    return renderInto(player, sink, keepCrc);
}

}  // namespace quarvel
