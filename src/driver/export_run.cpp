#include "driver/export_run.h"

#include <algorithm>

#include <cstdio>
#include <new>

#include "driver/exits.h"
#include "driver/messages.h"
#include "output/audio_export.h"
#include "output/midi_file.h"
#include "output/notation_file.h"
#include "output/output_error.h"
#include "synth/player.h"

namespace quarvel {

std::string midiPathOf(const RunOptions& options) {
    if (options.midiPath && !options.midiPath->empty()) return *options.midiPath;
    return stemOf(options.wavPath) + ".mid";
}

bool writeExports(const RunOptions& options, const CompiledScore& score, const Tables& tables,
                  ExportRange range) {
    if (!options.midiPath && !options.exportPath) return false;
    const bool alone = !options.writeWav && !options.computeCrc;
    const bool toStdout = options.exportPath == "-";
    if (toStdout && !alone) {
        diagnose("'--export -' puts the sound on standard output, where -w and -c print");
        exitWith(options, ExitStatus::usage);
    }
    std::optional<AudioFormat> format;
    const auto notation = notationFormatOf(options.exportPath.value_or(""));
    if (options.exportPath && !notation) {
        format = audioFormatOf(*options.exportPath);
        if (!format) {
            diagnose("cannot export " + *options.exportPath +
                     ": no sound format has its extension (" + kExportExtensions +
                     "), nor a notation format (" + kNotationExtensions + ")");
            exitWith(options, ExitStatus::usage);
        }
    }
    // The title: the score's name without directory and extension.
    const std::string stem = stemOf(options.wavPath);
    const std::string title = stem.substr(stem.find_last_of('/') + 1);
    const std::uint64_t total = renderedFrames(score, tables, 0);
    const std::uint64_t end = std::min(range.end, total);
    const std::string playingTime =
        formatPlayingTime(static_cast<double>(end > range.first ? end - range.first : 0));
    // -g only applies when playing: the exports hold the whole rendering, as -w does.
    const int startPart = 0;
    try {
        if (options.midiPath) {
            const std::string path = midiPathOf(options);
            writeMidiFile(path, score, tables, startPart, title, range);
            if (alone) {
                std::fprintf(resultStream(options), "%s %s\n", path.c_str(), playingTime.c_str());
            }
        }
        if (options.exportPath) {
            if (notation) {
                writeNotationFile(*options.exportPath, *notation, score, tables, startPart, range);
            } else {
                exportAudio(*options.exportPath, *format, score, tables, startPart, title, range);
            }
            if (alone) {
                std::fprintf(resultStream(options), "%s %s\n", options.exportPath->c_str(),
                             playingTime.c_str());
            }
        }
    } catch (const OutputError& error) {
        diagnose(error.what());
        exitWith(options, error.status);
    } catch (const std::bad_alloc&) {
        diagnose("no memory to export " + options.sourcePath);
        exitWith(options, ExitStatus::noMemory);
    }
    return alone;
}

}  // namespace quarvel
