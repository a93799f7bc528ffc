#include "driver/diagnostics.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "compiler/utf8.h"
#include "driver/messages.h"
#include "driver/status_line.h"
#include "output/exit_status.h"

namespace quarvel {

namespace {

// A place in the text as errorContext takes it.
CompileError placeOf(const TextPoint& where) {
    CompileError place;
    place.line = static_cast<std::int32_t>(where.line);
    place.column = where.column;
    place.lineStart = where.column >= 1 ? where.offset - static_cast<std::size_t>(where.column - 1)
                                        : where.offset;
    place.where = where;
    return place;
}

std::string allWarningNames() {
    std::string names;
    for (const auto& info : warningCatalogue()) {
        names += (names.empty() ? "" : ", ") + std::string(info.name);
    }
    return names;
}

// The enabled warnings in the order of the text; those with no place first.
std::vector<const Warning*> selected(const WarningSet& enabled,
                                     const std::vector<Warning>& warnings,
                                     const std::optional<Warning>& extra) {
    std::vector<const Warning*> out;
    if (extra && enabled[static_cast<std::size_t>(extra->kind)]) out.push_back(&*extra);
    for (const auto& w : warnings) {
        if (enabled[static_cast<std::size_t>(w.kind)]) out.push_back(&w);
    }
    std::stable_sort(out.begin(), out.end(), [](const Warning* a, const Warning* b) {
        if ((a->where.line == 0) != (b->where.line == 0)) return a->where.line == 0;
        return a->where.offset < b->where.offset;
    });
    return out;
}

void printText(const RunOptions& options, const Warning& w, const SourceText& text) {
    std::string head = options.sourcePath + ":";
    if (w.where.line != 0) {
        head += std::to_string(w.where.line) + ":" + std::to_string(w.where.column) + ":";
    }
    diagnose(head + " warning: " + w.message + " [" + w.name + "]");
    if (w.where.line != 0) std::fputs(errorContext(placeOf(w.where), text).c_str(), stderr);
}

void printCut(const RunOptions& options, const WarningSet& enabled,
              const std::array<bool, kWarningKinds>& cut) {
    for (std::size_t k = 0; k < kWarningKinds; ++k) {
        if (!cut[k] || !enabled[k]) continue;
        const std::string name(warningCatalogue()[k].name);
        diagnose(options.sourcePath + ": warning: more [" + name + "] warnings are not shown: " +
                 "only the first " + std::to_string(kWarningsKept) + " are kept");
    }
}

void printAll(const RunOptions& options, const WarningSet& enabled,
              const std::vector<Warning>& warnings, const std::array<bool, kWarningKinds>& cut,
              const SourceText& text, const std::optional<Warning>& extra) {
    for (const Warning* w : selected(enabled, warnings, extra)) printText(options, *w, text);
    printCut(options, enabled, cut);
}

void printJson(const RunOptions& options, const WarningSet& enabled,
               const std::vector<Warning>& warnings, const std::optional<Warning>& extra) {
    for (const Warning* w : selected(enabled, warnings, extra)) {
        const std::string line = jsonDiagnostic(options.sourcePath, w->where.line, w->where.column,
                                                w->endColumn, 0, w->name, w->message) +
                                 "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
}

std::optional<Warning> startPartCheck(const CompiledScore& score, int startPart) {
    return startPartWarning(score, startPart);
}

// The result of a check must reach its reader.
int finished(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        diagnose("cannot write the diagnostics");
        return ExitStatus::outputFailure;
    }
    return status;
}

}  // namespace

std::optional<WarningSet> enabledWarnings(const RunOptions& options) {
    WarningSet set = defaultWarnings();
    for (const auto& change : options.warningSwitches) {
        if (const auto unknown = applyWarningSwitch(set, change.names, change.on)) {
            diagnose("unknown warning '" + *unknown + "' in --" + (change.on ? "" : "no-") +
                     "warn=" + change.names + " (the warnings: all, " + allWarningNames() + ")");
            std::fputs(kUsageText, stdout);
            return std::nullopt;
        }
    }
    return set;
}

void printWarnings(const RunOptions& options, const WarningSet& enabled, const CompiledScore& score,
                   const SourceText& text, int startPart) {
    printAll(options, enabled, score.warnings, score.warningsCut, text,
             startPartCheck(score, startPart));
}

void printWarningsBefore(const RunOptions& options, const WarningSet& enabled,
                         const CompileError& error, const SourceText& text) {
    printAll(options, enabled, error.warnings, {}, text, std::nullopt);
}

int checkPassed(const RunOptions& options, const WarningSet& enabled, const CompiledScore& score,
                const SourceText& text, int startPart) {
    if (options.json) {
        printJson(options, enabled, score.warnings, startPartCheck(score, startPart));
    } else {
        printWarnings(options, enabled, score, text, startPart);
    }
    return finished(0);
}

int checkFailed(const RunOptions& options, const WarningSet& enabled, const CompileError& error,
                const SourceText& text) {
    if (options.json) {
        printJson(options, enabled, error.warnings, std::nullopt);
        const std::string line =
            jsonDiagnostic(options.sourcePath, error.where.line, error.where.column, 0,
                           error.number, std::to_string(error.number), error.what) +
            "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    } else {
        printWarningsBefore(options, enabled, error, text);
        printCompileError(options, error, text);
    }
    return finished(3);
}

void printCompileError(const RunOptions& options, const CompileError& error,
                       const SourceText& text) {
    eraseStatusLine();
    std::fflush(stdout);
    std::fputs(compileErrorText(options, error, text).c_str(), stderr);
}

std::string compileErrorText(const RunOptions& options, const CompileError& error,
                             const SourceText& text) {
    return "quarvelcd: " +
           inert(options.sourcePath + ":" + std::to_string(error.where.line) + ":" +
                 std::to_string(error.where.column) + ": error " + std::to_string(error.number) +
                 ": " + error.what) +
           "\n" + errorContext(placeOf(error.where), text);
}

std::string jsonDiagnostic(const std::string& file, std::int64_t line, std::int64_t column,
                           std::int64_t endColumn, int number, const std::string& code,
                           const std::string& message) {
    std::string out = "{\"file\":" + jsonString(file);
    if (line == 0) {
        out += ",\"line\":null,\"column\":null";
    } else {
        out += ",\"line\":" + std::to_string(line) + ",\"column\":" + std::to_string(column);
        if (endColumn != 0) out += ",\"endColumn\":" + std::to_string(endColumn);
    }
    out += std::string(",\"severity\":\"") + (number != 0 ? "error" : "warning") + "\"";
    out += ",\"code\":" + jsonString(code);
    if (number != 0) out += ",\"number\":" + std::to_string(number);
    out += ",\"message\":" + jsonString(message) + "}";
    return out;
}

}  // namespace quarvel
