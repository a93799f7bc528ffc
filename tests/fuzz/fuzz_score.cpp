// Coverage-guided fuzzing of the whole way from bytes to frames: any input
// either compiles or fails with a defined compile error, and what compiles
// renders (its first seconds) identically with every frame loop and with the
// plain per-frame reference. The first byte picks the dialect and the start
// part; the rest is the score text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "compiler/score_compiler.h"
#include "support/reference_renderer.h"
#include "synth/mix_kernels.h"
#include "output/render_loop.h"
#include "synth/tables.h"

using namespace quarvel;

namespace {

constexpr std::size_t kFrameCap = 2 * kFrameRate;  // the first two seconds

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Dialect dialect = data[0] % 3 == 0   ? Dialect::combined
                            : data[0] % 3 == 1 ? Dialect::quarvel
                                               : Dialect::lutera;
    const int startPart = (data[0] & 0x80) ? (data[0] >> 3) & 0x0F : 0;
    const SourceText text(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

    CompiledScore score;
    try {
        score = compileScore(text, dialect);
    } catch (const CompileError& error) {
        if (error.number != 2 && error.number != 3 && error.number != 4 && error.number != 6) {
            finding("a compile error number the language does not have");
        }
        if (error.line < 1) finding("a compile error before the first line");
        return 0;
    }
    if (score.image.parts.size() < 2) finding("an image without its first and last part");

    const Tables tables = buildTables(score.instruments);
    RecordingSink product(kFrameCap);
    RecordingSink portable(kFrameCap);
    RecordingSink reference(kFrameCap);
    const RenderResult a = renderScore(score, tables, startPart, product);
    const RenderResult b = renderScore(score, tables, startPart, portable, mixPortable);
    const RenderResult r = referenceRenderScore(score, tables, startPart, reference);
    if (!product.faults.empty()) finding(product.faults.front().c_str());
    if (a.streamCrc != r.streamCrc || b.streamCrc != r.streamCrc) finding("CRC differs");
    if (a.samplesRendered != r.samplesRendered) finding("frame count differs");
    if (product.frames != reference.frames || portable.frames != reference.frames) {
        finding("frames differ from the reference");
    }
    if (product.shape() != reference.shape()) finding("sink calls differ from the reference");
    return 0;
}
