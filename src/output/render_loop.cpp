#include "output/render_loop.h"

#include "synth/sample_format.h"

#include <libdeflate.h>

#include <algorithm>

namespace quarvel {

std::uint32_t crcUpdate(std::uint32_t value, const void* bytes, std::size_t length) {
    return libdeflate_crc32(value, bytes, length);
}

RenderResult pushBuffers(FrameSink& sink, bool keepCrc,
                         const std::function<std::size_t(std::uint32_t*)>& fill,
                         const std::function<bool()>& goesOn) {
    RenderResult result;
    std::uint32_t* buffer = sink.exchangeBuffer(nullptr, 0);
    while (buffer != nullptr) {
        const std::size_t filled = fill(buffer);
        result.samplesRendered += static_cast<double>(filled);
        if (keepCrc)
            result.streamCrc = crcUpdate(result.streamCrc, buffer, kBytesPerFrame * filled);
        // nullptr: the user stopped, and the sink is already shut.
        buffer = sink.exchangeBuffer(buffer, static_cast<int>(filled));
        if (filled < static_cast<std::size_t>(kBufferFrames)) {
            if (buffer != nullptr && goesOn && goesOn()) continue;
            if (buffer != nullptr) sink.exchangeBuffer(buffer, -1);
            break;
        }
    }
    return result;
}

RenderResult renderInto(Player& player, FrameSink& sink, bool keepCrc, std::uint64_t limit) {
    std::uint64_t left = limit;
    return pushBuffers(sink, keepCrc, [&](std::uint32_t* buffer) {
        std::size_t filled = 0;
        while (filled < static_cast<std::size_t>(kBufferFrames) && left > 0) {
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(kBufferFrames) - filled, left));
            const std::size_t got = player.render(buffer + filled, want);
            if (got == 0) break;  // the end of the rendering
            filled += got;
            left -= got;
        }
        return filled;
    });
}

RenderResult renderScore(const CompiledScore& score, const Tables& tables, int startPart,
                         FrameSink& sink, MixKernel kernel, bool keepCrc) {
    Player player(score, tables, startPart, kernel);
    return renderInto(player, sink, keepCrc);
}

}  // namespace quarvel
