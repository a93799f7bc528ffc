// Exports a rendering as a sound file in the format its name's extension
// names: .wav the very bytes -w writes; .flac, .ogg (Vorbis), .opus and .mp3
// encoded by libsndfile, where the installed library can write them. "-"
// streams a WAVE to standard output, its sizes true from the start since the
// length of a rendering is known before it is rendered.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "compiler/score_image.h"
#include "output/midi_file.h"
#include "synth/tables.h"

namespace quarvel {

enum class AudioFormat { wave, flac, vorbis, opus, mp3 };

// The format a name's extension (any case) names; "-" is a WAVE.
std::optional<AudioFormat> audioFormatOf(const std::string& path);

// The extensions that name a format, for messages: ".wav .flac .ogg .opus .mp3".
extern const char* const kExportExtensions;

// Why this machine cannot write the format at 44100 Hz, 16-bit stereo, or ""
// when it can.
std::string audioFormatProblem(AudioFormat format);

// Renders the score from startPart (0: from the start), only the frames in
// `range`, into the file, whole or not at all. Throws OutputError (status 4).
void exportAudio(const std::string& path, AudioFormat format, const CompiledScore& score,
                 const Tables& tables, int startPart, const std::string& title,
                 ExportRange range = {});

}  // namespace quarvel
