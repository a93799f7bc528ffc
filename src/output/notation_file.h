// Exports the score as notation: MusicXML text (.musicxml), or the same in
// the compressed MusicXML container (.mxl, a zip written by libzip).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compiler/score_image.h"
#include "output/midi_file.h"
#include "synth/tables.h"

namespace quarvel {

enum class NotationFormat { musicXml, mxl };

// The format a name's extension (any case) names, if a notation format.
std::optional<NotationFormat> notationFormatOf(const std::string& path);

// For messages: ".musicxml .mxl".
extern const char* const kNotationExtensions;

// The .mxl container of a MusicXML text: "mimetype" stored first, then
// META-INF/container.xml and the score, compressed. Throws OutputError.
std::vector<std::uint8_t> mxlBytes(const std::string& musicXml);

// Writes the notation of the rendering from startPart (0: from the start),
// only the frames in `range`, whole or not at all. The score must have been
// compiled with CompileOptions::keepNotes. Throws OutputError (status 4).
void writeNotationFile(const std::string& path, NotationFormat format, const CompiledScore& score,
                       const Tables& tables, int startPart, ExportRange range = {});

}  // namespace quarvel
