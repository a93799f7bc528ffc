#include "import/import_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "compiler/score_compiler.h"
#include "driver/messages.h"
#include "driver/read_file.h"
#include "import/midi_import.h"
#include "import/midi_reader.h"
#include "output/output_error.h"
#include "output/staged_file.h"
#include "synth/player.h"
#include "synth/tables.h"

namespace quarvel {

namespace {

// No Standard MIDI File of music comes near this; a larger one is refused
// before it is read.
constexpr std::uint64_t kLargestMidiFile = std::uint64_t{64} << 20;

}  // namespace

int runImport(const RunOptions& options) {
    const std::string& in = *options.importPath;
    const bool toStdout = options.scoreName == "-";
    const auto refuse = [&](const std::string& why) {
        diagnose("cannot import " + in + ": " + why);
        return ExitStatus::usage;
    };

    // --import x.mid x.mid is refused: the MIDI file is an input of the run.
    const InputFile file = readInputFile(in, "the MIDI file this run reads", kLargestMidiFile);
    if (file.tooLarge) {
        return refuse("the file is larger than 64 MiB: no MIDI file of music is that large");
    }
    if (file.outOfMemory) {
        diagnose("no memory to import " + in);
        return ExitStatus::noMemory;
    }
    if (!file.read()) return refuse(file.problem);
    const std::vector<std::uint8_t>& bytes = file.bytes;

    ImportedScore imported;
    try {
        const MidiSong song = readMidiSong(bytes.data(), bytes.size());
        const std::size_t slash = in.find_last_of('/');
        imported = importMidi(song, slash == std::string::npos ? in : in.substr(slash + 1));
    } catch (const MidiFormatError& error) {
        return refuse(error.what());
    } catch (const std::bad_alloc&) {
        diagnose("no memory to import " + in);
        return ExitStatus::noMemory;
    }

    // The score written must be one the compiler takes without a warning;
    // a note held over a bar line is the language's tie, written on purpose.
    std::uint64_t frames = 0;
    try {
        const CompiledScore score = compileScore(SourceText(imported.text), Dialect::combined);
        for (const Warning& warning : score.warnings) {
            if (!faultOfImport(warning)) continue;
            imported.report.push_back("the score written warns at line " +
                                      std::to_string(warning.where.line) + ": " + warning.message);
        }
        frames = renderedFrames(score, buildTables(score.instruments), 0);
    } catch (const CompileError& error) {
        return refuse("the score it makes does not compile (error " + std::to_string(error.number) +
                      " at line " + std::to_string(error.line) +
                      "); this is a fault of the import");
    }

    if (toStdout) {
        std::fwrite(imported.text.data(), 1, imported.text.size(), stdout);
    } else {
        struct stat existing {};
        if (!options.force && ::lstat(options.scoreName.c_str(), &existing) == 0) {
            diagnose(options.scoreName + " exists: --force replaces it");
            return ExitStatus::usage;
        }
        try {
            writeFileWhole(options.scoreName, imported.text.data(), imported.text.size());
        } catch (const OutputError& error) {
            diagnose(error.what());
            return error.status;
        }
    }
    for (const std::string& line : imported.report) diagnose(in + ": " + line);
    if (!toStdout) {
        std::printf("%s %s\n", options.scoreName.c_str(),
                    formatPlayingTime(static_cast<double>(frames)).c_str());
    }
    return ExitStatus::success;
}

}  // namespace quarvel
