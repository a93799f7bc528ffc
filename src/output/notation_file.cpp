#include "output/notation_file.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "notation/musicxml.h"
#include "output/output_error.h"
#include "output/staged_file.h"

namespace quarvel {

const char* const kNotationExtensions = ".musicxml .mxl";

std::optional<NotationFormat> notationFormatOf(const std::string& path) {
    const std::string extension = lowerExtensionOf(path);
    if (extension.empty()) return std::nullopt;
    if (extension == "musicxml") return NotationFormat::musicXml;
    if (extension == "mxl") return NotationFormat::mxl;
    return std::nullopt;
}

namespace {

[[noreturn]] void zipFailed(const char* what, const char* reason) {
    throw OutputError(ExitStatus::outputFailure,
                      std::string("cannot make the .mxl container: ") + what + ": " + reason);
}

// The entries' time: the zip format's own epoch (1980-01-01), so that the
// same score always gives the same bytes.
constexpr time_t kEntryTime = 315532800;

void addEntry(zip_t* archive, const char* name, const std::string& bytes, bool compress) {
    zip_source_t* source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
    if (source == nullptr) zipFailed(name, zip_strerror(archive));
    const zip_int64_t index = zip_file_add(archive, name, source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        zipFailed(name, zip_strerror(archive));
    }
    const auto at = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(archive, at, compress ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 9) != 0 ||
        zip_file_set_mtime(archive, at, kEntryTime, 0) != 0) {
        zipFailed(name, zip_strerror(archive));
    }
}

}  // namespace

std::vector<std::uint8_t> mxlBytes(const std::string& musicXml) {
    zip_error_t error;
    zip_error_init(&error);
    // The archive is made in memory, then written whole like every other file.
    zip_source_t* memory = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (memory == nullptr) zipFailed("memory", zip_error_strerror(&error));
    const std::unique_ptr<zip_source_t, decltype(&zip_source_free)> held(memory, zip_source_free);
    zip_t* archive = zip_open_from_source(memory, ZIP_TRUNCATE, &error);
    if (archive == nullptr) zipFailed("memory", zip_error_strerror(&error));
    zip_source_keep(memory);  // the archive's close would free it
    const std::string mimeType = kMxlMimeType;
    const std::string container = mxlContainerXml();
    try {
        addEntry(archive, "mimetype", mimeType, false);
        addEntry(archive, "META-INF/container.xml", container, true);
        addEntry(archive, kMxlScoreName, musicXml, true);
    } catch (...) {
        zip_discard(archive);
        throw;
    }
    if (zip_close(archive) != 0) {
        const std::string reason = zip_strerror(archive);
        zip_discard(archive);
        zipFailed("closing", reason.c_str());
    }
    std::vector<std::uint8_t> bytes;
    zip_stat_t stat;
    if (zip_source_stat(memory, &stat) != 0 || zip_source_open(memory) != 0) {
        zipFailed("reading", zip_error_strerror(zip_source_error(memory)));
    }
    bytes.resize(static_cast<std::size_t>(stat.size));
    const zip_int64_t read = zip_source_read(memory, bytes.data(), bytes.size());
    zip_source_close(memory);
    if (read < 0 || static_cast<std::size_t>(read) != bytes.size()) {
        zipFailed("reading", "short read");
    }
    return bytes;
}

void writeNotationFile(const std::string& path, NotationFormat format, const CompiledScore& score,
                       const Tables& tables, int startPart, ExportRange range) {
    const std::string text =
        scoreMusicXml(score, tables, "",
                      NotationOptions{.startPart = startPart,
                                      .firstFrame = range.first,
                                      .endFrame = range.end,
                                      .foldRepeats = range.first == 0 && range.end == UINT64_MAX});
    if (format == NotationFormat::musicXml) {
        writeFileWhole(path, text.data(), text.size());
    } else {
        const auto bytes = mxlBytes(text);
        writeFileWhole(path, bytes.data(), bytes.size());
    }
}

}  // namespace quarvel
