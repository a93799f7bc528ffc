#include "output/audio_export.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "output/output_error.h"
#include "output/render_loop.h"
#include "output/staged_file.h"
#include "output/wave_file.h"
#include "synth/player.h"

namespace quarvel {

const char* const kExportExtensions = ".wav .flac .ogg .opus .mp3";

namespace {

struct FormatEntry {
    AudioFormat format;
    const char* extension;
    int major;
    int subtype;
    const char* name;
};

constexpr FormatEntry kFormats[] = {
    {AudioFormat::wave, "wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, "WAVE"},
    {AudioFormat::flac, "flac", SF_FORMAT_FLAC, SF_FORMAT_PCM_16, "FLAC"},
    {AudioFormat::vorbis, "ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS, "Ogg Vorbis"},
    {AudioFormat::opus, "opus", SF_FORMAT_OGG, SF_FORMAT_OPUS, "Ogg Opus"},
    {AudioFormat::mp3, "mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III, "MP3"},
};

const FormatEntry& entryOf(AudioFormat format) {
    return *std::find_if(std::begin(kFormats), std::end(kFormats),
                         [&](const FormatEntry& e) { return e.format == format; });
}

SF_INFO soundInfo(const FormatEntry& entry) {
    SF_INFO info{};
    info.samplerate = kFrameRate;
    info.channels = 2;
    info.format = entry.major | entry.subtype;
    return info;
}

// Pulls the frames of the range from a player, a buffer at a time.
class RangeReader {
  public:
    RangeReader(const CompiledScore& score, const Tables& tables, int startPart, ExportRange range)
        : player_(score, tables, startPart) {
        const std::uint64_t total = player_.totalFrames();
        const std::uint64_t first = std::min(range.first, total);
        left_ = std::min(range.end, total) - std::min(first, std::min(range.end, total));
        player_.seekFrame(first);
    }
    std::uint64_t frames() const { return left_; }
    // Fills up to kBufferFrames frames; 0 at the end of the range.
    std::size_t next(std::uint32_t* buffer) {
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>(left_, static_cast<std::uint64_t>(kBufferFrames)));
        const std::size_t got = want == 0 ? 0 : player_.render(buffer, want);
        left_ -= got;
        return got;
    }

  private:
    Player player_;
    std::uint64_t left_ = 0;
};

// The WAVE that -w writes, its sizes known up front, to a descriptor.
void writeWave(RangeReader& reader, int fd, const std::string& name) {
    const std::uint64_t dataBytes = reader.frames() * kBytesPerFrame;
    const auto fail = [&](const std::string& what, int error) {
        throw OutputError(ExitStatus::outputFailure,
                          what + " " + name + ": " + std::strerror(error));
    };
    checkWaveFits(reader.frames(), name);
    const auto head = waveHead(static_cast<std::uint32_t>(dataBytes));
    if (const int error = writeAll(fd, head.data(), head.size())) fail("cannot write", error);
    std::vector<std::uint32_t> buffer(kBufferFrames);
    while (const std::size_t n = reader.next(buffer.data())) {
        if (const int error = writeAll(fd, buffer.data(), n * kBytesPerFrame))
            fail("cannot write", error);
    }
}

struct SoundFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

void writeEncoded(RangeReader& reader, const FormatEntry& entry, StagedFile& file,
                  const std::string& title) {
    SF_INFO info = soundInfo(entry);
    std::unique_ptr<SNDFILE, SoundFileCloser> sound(sf_open_fd(file.fd(), SFM_WRITE, &info, 0));
    const auto fail = [&](SNDFILE* which) {
        throw OutputError(ExitStatus::outputFailure,
                          "cannot write " + file.path() + ": " + sf_strerror(which));
    };
    if (!sound) {
        // Some encoders refuse the program's rate, and say so only here.
        std::string reason = sf_strerror(nullptr);
        if (reason.rfind("Error : ", 0) == 0) reason.erase(0, 8);
        throw OutputError(ExitStatus::outputFailure,
                          "cannot export " + file.path() + ": this system's libsndfile (" +
                              sf_version_string() + ") cannot write " + entry.name + " at " +
                              std::to_string(kFrameRate) + " Hz: " + reason);
    }
    sf_set_string(sound.get(), SF_STR_TITLE, title.c_str());
    sf_set_string(sound.get(), SF_STR_SOFTWARE, "quarvelcd");
    std::vector<std::uint32_t> buffer(kBufferFrames);
    std::vector<short> samples(2 * kBufferFrames);
    while (const std::size_t n = reader.next(buffer.data())) {
        for (std::size_t i = 0; i < n; ++i) {
            samples[2 * i] = static_cast<short>(static_cast<std::uint16_t>(buffer[i]));
            samples[2 * i + 1] = static_cast<short>(static_cast<std::uint16_t>(buffer[i] >> 16));
        }
        const auto count = static_cast<sf_count_t>(n);
        if (sf_writef_short(sound.get(), samples.data(), count) != count) fail(sound.get());
    }
    if (sf_close(sound.release()) != 0) {
        throw OutputError(ExitStatus::outputFailure,
                          "cannot write " + file.path() + ": the encoder failed to finish");
    }
}

}  // namespace

std::optional<AudioFormat> audioFormatOf(const std::string& path) {
    if (path == "-") return AudioFormat::wave;
    const std::string extension = lowerExtensionOf(path);
    if (extension.empty()) return std::nullopt;
    for (const FormatEntry& entry : kFormats) {
        if (extension == entry.extension) return entry.format;
    }
    return std::nullopt;
}

std::string audioFormatProblem(AudioFormat format) {
    if (format == AudioFormat::wave) return "";  // written here, not by the library
    const FormatEntry& entry = entryOf(format);
    int majors = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majors, sizeof majors);
    bool known = false;
    for (int i = 0; i < majors && !known; ++i) {
        SF_FORMAT_INFO major{};
        major.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major) == 0) {
            known = major.format == entry.major;
        }
    }
    SF_INFO info = soundInfo(entry);
    if (!known || sf_format_check(&info) == 0) {
        return std::string("this system's libsndfile (") + sf_version_string() + ") cannot write " +
               entry.name;
    }
    return "";
}

void exportAudio(const std::string& path, AudioFormat format, const CompiledScore& score,
                 const Tables& tables, int startPart, const std::string& title, ExportRange range) {
    RangeReader reader(score, tables, startPart, range);
    if (path == "-") {
        writeWave(reader, STDOUT_FILENO, "standard output");
        return;
    }
    if (const std::string problem = audioFormatProblem(format); !problem.empty()) {
        throw OutputError(ExitStatus::outputFailure, "cannot export " + path + ": " + problem);
    }
    StagedFile file(path);
    if (format == AudioFormat::wave) {
        writeWave(reader, file.fd(), path);
    } else {
        writeEncoded(reader, entryOf(format), file, title);
    }
    file.commit();
}

}  // namespace quarvel
