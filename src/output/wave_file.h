// RIFF WAVE writer: PCM, 2 channels, 44100 Hz, 16 bits, an 18-byte "fmt "
// chunk and the samples from offset 46. The two chunk sizes are written when
// the file is finished; every write is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarvel {

inline constexpr std::size_t kWaveHeadBytes = 46;

// The 46 bytes in front of the samples, for a data chunk of dataBytes bytes.
std::vector<std::uint8_t> waveHead(std::uint32_t dataBytes);

class WaveFile {
  public:
    // Creates (or truncates) the file and writes its head with sizes 0.
    // Throws OutputError (status 4) with the operating system's reason.
    explicit WaveFile(std::string path);
    ~WaveFile();
    WaveFile(const WaveFile&) = delete;
    WaveFile& operator=(const WaveFile&) = delete;

    void write(const void* bytes, std::size_t length);
    // Writes the true chunk sizes and closes the file.
    void finish();

  private:
    void flushBlock();
    void writeAll(const void* bytes, std::size_t length, long long offset);
    [[noreturn]] void fail(const std::string& what, int error) const;

    std::string path_;
    int fd_ = -1;
    std::uint64_t dataBytes_ = 0;
    std::vector<std::uint8_t> block_;  // samples gathered into large writes
};

}  // namespace quarvel
