// Coverage-guided fuzzing of the MIDI import: any input is either refused
// with a one-line reason or read into a score that compiles without an error
// and without a warning (but the ties it writes on purpose, see faultOfImport).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/score_compiler.h"
#include "import/midi_import.h"
#include "import/midi_reader.h"

using namespace quarvel;

namespace {

[[noreturn]] void finding(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "fuzz finding: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ImportedScore imported;
    try {
        const MidiSong song = readMidiSong(data, size);
        imported = importMidi(song, "fuzz.mid");
    } catch (const MidiFormatError& error) {
        if (std::strchr(error.what(), '\n') != nullptr || error.what()[0] == '\0') {
            finding("a reason that is not one line");
        }
        return 0;
    }
    try {
        const CompiledScore score = compileScore(SourceText(imported.text), Dialect::combined);
        for (const Warning& warning : score.warnings) {
            if (faultOfImport(warning)) finding("the score written warns", imported.text);
        }
    } catch (const CompileError& error) {
        finding("the score written does not compile", imported.text);
    }
    return 0;
}
