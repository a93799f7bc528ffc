// quarvelcd [-o][-p][-gxx][-w][-c] quarvelfile
//
// Compiles one score, builds the synthesis tables, renders the score into the
// sample sink (sound device, WAVE file or nowhere) and prints the result line
// of the mode.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compiler/score_compiler.h"
#include "driver/diagnostics.h"
#include "driver/editor.h"
#include "driver/exits.h"
#include "driver/export_run.h"
#include "driver/messages.h"
#include "driver/notices.h"
#include "driver/play_range.h"
#include "driver/read_file.h"
#include "driver/run_options.h"
#include "driver/status_line.h"
#include "driver/terminal.h"
#include "driver/watch.h"
#include "import/import_run.h"
#include "lsp/server.h"
#include "output/audio_device.h"
#include "output/output_error.h"
#include "output/render_loop.h"
#include "output/sample_sink.h"
#include "output/staged_file.h"
#include "output/wave_file.h"
#include "quarvel.h"
#include "synth/tables.h"

namespace quarvel {
namespace {

// The score file, bytes exactly as stored, with the end marks behind them;
// a score that cannot be read ends the run.
SourceText loadScore(const RunOptions& options) {
    InputFile file = readInputFile(options.scoreName, "the score");
    if (file.outOfMemory) {
        diagnose("no memory for the score text of " + options.sourcePath +
                 (file.problem.empty() ? "" : ": " + file.problem));
        exitWith(options, ExitStatus::noMemory);
    }
    if (!file.read()) {
        reportUnreadable(options, file.problem);
        exitWith(options, ExitStatus::usage);
    }
    return SourceText(std::move(file.bytes));
}

// The first eight lines of the score, line ends written as LF, straight from
// the text in pieces. On a terminal, control bytes are shown inert: a score
// cannot drive the terminal.
void echoScoreHead(const SourceText& text) {
    const auto& bytes = text.bytes();
    const bool shown = isatty(STDOUT_FILENO) == 1;
    int lineEnds = 0;
    std::size_t i = 0;
    while (lineEnds < 8 && i < text.end()) {
        const std::uint8_t c = bytes[i];
        if (c == '\r' || c == '\n') {
            ++lineEnds;
            std::fputc('\n', stdout);
            if (c == '\r' && i + 1 < text.end() && bytes[i + 1] == '\n') ++i;
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.end() && bytes[j] != '\r' && bytes[j] != '\n') ++j;
        const std::string_view piece(reinterpret_cast<const char*>(bytes.data()) + i, j - i);
        if (shown) {
            writeInert(stdout, piece);
        } else {
            std::fwrite(piece.data(), 1, piece.size(), stdout);
        }
        i = j;
    }
    std::fputc('\n', stdout);
}

// Standard output must take what is written to it; a run that cannot
// deliver its lines failed.
void checkOutput(const char* what) {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        const int error = errno != 0 ? errno : EIO;
        diagnose(std::string(what) + std::strerror(error));
        Terminal::restore();
        std::_Exit(4);
    }
}

// The result line must reach its reader.
void finishOutput() {
    checkOutput("cannot write the result: ");
}

int printHelpOrVersion(const RunOptions& options) {
    if (options.help) {
        std::fputs(kUsageText, stdout);
        std::fputs(kLongOptionsText, stdout);
        std::fputs(warningHelpText().c_str(), stdout);
    } else {
        std::printf("quarvelcd " QUARVELCD_VERSION " (libquarvel %s)\n", quarvel_version());
    }
    finishOutput();
    return 0;
}

// --from and --to as written; a value that is neither a bar nor a place in
// the text ends the run before anything is read.
std::pair<std::optional<BarPlace>, std::optional<BarPlace>> rangeOptions(
    const RunOptions& options) {
    std::string problem;
    std::optional<BarPlace> from, to;
    if (options.from) from = parseBarPlace(*options.from, true, &problem);
    if (options.to && problem.empty()) to = parseBarPlace(*options.to, false, &problem);
    if (problem.empty() && (options.loop || options.watch) && !options.playFlag) {
        // Whatever turned playing off: -w, -c, --check or an export alone.
        problem = std::string(options.loop ? "--loop" : "--watch") +
                  " plays: it goes without -w, -c, --check, --midi and --export";
    }
    if (!problem.empty()) {
        diagnose((options.from && !from ? "--from: "
                  : options.to && !to   ? "--to: "
                                        : "") +
                 problem);
        exitWith(options, ExitStatus::usage);
    }
    return {from, to};
}

// The status line while playing follows the frames the device has played;
// a run that writes or checks shows its progress once it takes a while.
SampleSink::PollHook statusHook(const RunOptions& options, StatusLine& status, SampleSink& sink,
                                Player& player, const FrameRange& range) {
    const std::string name = std::filesystem::path(options.sourcePath).filename().string();
    if (!options.playFlag) {
        const auto started = std::chrono::steady_clock::now();
        const std::string label =
            std::filesystem::path(options.writeWav ? options.wavPath : options.sourcePath)
                .filename()
                .string();
        return [&status, &sink, range, started, label] {
            if (!status.due() ||
                std::chrono::steady_clock::now() - started < std::chrono::seconds(1)) {
                return;
            }
            status.draw(formatProgress(label, sink.framesHanded(), range.end - range.start,
                                       StatusLine::width()));
        };
    }
    const bool loop = options.loop;
    return [&status, &sink, &player, range, loop, name] {
        if (!status.due()) return;
        StatusView view = viewAt(player.timeline(),
                                 soundingFrame(sink.framesPlayed(), range.start, range.end, loop));
        view.name = name;
        if (loop) view.note = "looping";
        view.keys = "ESC stop \u00b7 space edit \u00b7 TAB skip";
        status.draw(formatStatus(view, StatusLine::width()));
    };
}

// The range --from and --to choose in a rendering laid out by `timeline`;
// one that does not exist there ends the run.
FrameRange rangeOrExit(const RunOptions& options, const std::optional<BarPlace>& from,
                       const std::optional<BarPlace>& to, const CompiledScore& score,
                       const Timeline& timeline) {
    std::string problem;
    const auto range = resolveRange(from, to, score.sourceMap, timeline, &problem);
    if (!range) {
        diagnose(problem);
        exitWith(options, ExitStatus::usage);
    }
    return *range;
}

// The compiled score; a compile error ends the run, reported for people or,
// with --check, as the check's diagnostics.
CompiledScore compileOrExit(const RunOptions& options, const WarningSet& warnings,
                            const SourceText& text, Terminal& terminal) {
    try {
        // Notation spells from the notes as written.
        return compileScore(
            text, options.dialect,
            CompileOptions{.keepNotes = options.exportPath.has_value(), .warnings = warnings});
    } catch (const CompileError& error) {
        if (options.check) exitWith(options, checkFailed(options, warnings, error, text));
        printWarningsBefore(options, warnings, error, text);
        reportCompileError(options, error, text, terminal);
    } catch (const std::bad_alloc&) {
        diagnose("no memory to compile " + options.sourcePath);
        exitWith(options, ExitStatus::noMemory);
    }
}

// --midi and --export, cut by --from and --to as they cut -w; true when the
// exports are all the run does.
bool runExports(const RunOptions& options, const CompiledScore& score, const Tables& tables,
                const std::optional<BarPlace>& from, const std::optional<BarPlace>& to) {
    ExportRange exportRange;
    std::string barsCut;  // the bars the range keeps, for the notices
    if ((options.midiPath || options.exportPath) && (from || to)) {
        const Timeline timeline(score, tables, 0);
        const FrameRange range = rangeOrExit(options, from, to, score, timeline);
        exportRange = {range.start, range.end};
        barsCut = barsHeld(timeline, score.sourceMap.bars.size(), range.start, range.end);
    }
    const bool exportsOnly = writeExports(options, score, tables, exportRange);
    if (!barsCut.empty()) {
        if (options.midiPath) noteRangeWritten(midiPathOf(options), barsCut);
        if (options.exportPath) {
            noteRangeWritten(*options.exportPath == "-" ? "the export" : *options.exportPath,
                             barsCut);
        }
    }
    return exportsOnly;
}

// Plays, writes or checks the range of the rendering, showing the status line
// or the progress; space while playing hands the score to the editor.
RenderResult renderRun(const RunOptions& options, const CompiledScore& score, const Tables& tables,
                       const std::optional<BarPlace>& from, const std::optional<BarPlace>& to,
                       Terminal& terminal) {
    RenderResult result;
    bool editorWanted = false;
    if (options.playFlag) {
        std::fflush(stdout);  // the banner and the echo are out before the sound
        armDeviceHangExit(options);
    }
    try {
        Player player(score, tables, options.startPart);
        const FrameRange range = rangeOrExit(options, from, to, score, player.timeline());
        // A WAVE that RIFF sizes cannot describe is known now, not after 4 GiB.
        if (options.writeWav) checkWaveFits(range.end - range.start, options.wavPath);
        SampleSink sink({options.playFlag, options.writeWav, options.computeCrc, options.wavPath},
                        &terminal, openAlsaDevice);
        StatusLine status;
        if (status.enabled()) sink.setPollHook(statusHook(options, status, sink, player, range));
        // The CRC is computed only when it is printed.
        result = renderRange(player, sink, range, options.loop, options.computeCrc);
        status.erase();
        if (options.writeWav && (from || to)) {
            noteRangeWritten(
                options.wavPath,
                barsHeld(player.timeline(), score.sourceMap.bars.size(), range.start, range.end));
        }
        editorWanted = sink.stoppedBySpace();
    } catch (const OutputError& error) {
        diagnose(error.what());
        exitWith(options, error.status);
    } catch (const std::bad_alloc&) {
        diagnose("no memory for the sample buffers");
        exitWith(options, ExitStatus::noMemory);
    }
    if (editorWanted) editorHandOff(options);
    return result;
}

// A run on a score: read it, compile it, then check, export, play, write or
// compute the CRC, or watch it.
int runScore(RunOptions options, const WarningSet& warnings, int startPartAsGiven) {
    if (options.check) options.playFlag = false;  // compile only: no banner, echo or sound
    resolveScoreCase(options);
    rememberExitPath(options);
    noteFileRead(options);
    const auto [from, to] = rangeOptions(options);
    Terminal terminal;

    if (shiftHeld()) editorHandOff(options);
    if (options.playFlag) {
        std::printf("QuarvelCD v" QUARVELCD_VERSION "\n");
        checkOutput("cannot write to standard output: ");  // no point playing on
    }
    const SourceText text = loadScore(options);
    if (options.playFlag) {
        echoScoreHead(text);
    } else {
        options.startPart = 0;
    }
    if (options.watch) return runWatch(options, warnings, terminal, text, from, to);

    const CompiledScore score = compileOrExit(options, warnings, text, terminal);
    if (options.check) return checkPassed(options, warnings, score, text, startPartAsGiven);
    printWarnings(options, warnings, score, text, options.startPart);
    const Tables tables = buildTables(score.instruments);
    if (!runExports(options, score, tables, from, to)) {
        const RenderResult result = renderRun(options, score, tables, from, to, terminal);
        if (options.computeCrc) {
            std::printf("%08X %s\n", result.streamCrc, options.sourcePath.c_str());
        } else if (options.writeWav) {
            std::printf("%s %s\n", options.wavPath.c_str(),
                        formatPlayingTime(result.samplesRendered).c_str());
        }
    }
    finishOutput();
    return ExitStatus::success;
}

int run(const std::vector<std::string>& args) {
    std::string problem;
    const auto parsed = parseRunOptions(args, &problem);
    if (!parsed) {
        if (!problem.empty()) diagnose(problem);
        std::fputs(kUsageText, stdout);
        return ExitStatus::usage;
    }
    if (parsed->help || parsed->version) return printHelpOrVersion(*parsed);
    if (parsed->importPath) {  // a front end of its own: no score is read
        const int status = runImport(*parsed);
        if (status == ExitStatus::success) finishOutput();
        return status;
    }
    if (parsed->lsp) return lsp::runLanguageServer();
    const auto warnings = enabledWarnings(*parsed);
    if (!warnings) return ExitStatus::usage;
    return runScore(*parsed, *warnings, parsed->startPart);
}

}  // namespace
}  // namespace quarvel

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        return quarvel::run(args);
    } catch (...) {
        quarvel::exitOnStrayException(std::current_exception());
    }
}
