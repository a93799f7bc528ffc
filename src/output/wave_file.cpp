#include "output/wave_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output/output_error.h"

namespace quarvel {

namespace {

constexpr std::size_t kBlockBytes = 1 << 20;
// The RIFF size field counts the file less its first 8 bytes.
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kWaveHeadBytes - 8);

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void putTag(std::vector<std::uint8_t>& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

}  // namespace

std::vector<std::uint8_t> waveHead(std::uint32_t dataBytes) {
    std::vector<std::uint8_t> head;
    head.reserve(kWaveHeadBytes);
    putTag(head, "RIFF");
    put32(head, static_cast<std::uint32_t>(kWaveHeadBytes - 8) + dataBytes);
    putTag(head, "WAVE");
    putTag(head, "fmt ");
    put32(head, 18);
    put16(head, 1);       // PCM
    put16(head, 2);       // channels
    put32(head, 44100);   // frames per second
    put32(head, 176400);  // bytes per second
    put16(head, 4);       // bytes per frame
    put16(head, 16);      // bits per sample
    put16(head, 0);       // no extra format bytes
    putTag(head, "data");
    put32(head, dataBytes);
    return head;
}

WaveFile::WaveFile(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) fail("cannot create", errno);
    block_.reserve(kBlockBytes);
    const auto head = waveHead(0);
    block_.insert(block_.end(), head.begin(), head.end());
}

WaveFile::~WaveFile() {
    if (fd_ >= 0) ::close(fd_);
}

void WaveFile::write(const void* bytes, std::size_t length) {
    if (dataBytes_ + length > kMaxDataBytes) {
        fail("cannot write", EFBIG);
    }
    dataBytes_ += length;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (block_.size() + length > kBlockBytes) flushBlock();
    if (length >= kBlockBytes) {
        writeAll(p, length, -1);
    } else {
        block_.insert(block_.end(), p, p + length);
    }
}

void WaveFile::flushBlock() {
    writeAll(block_.data(), block_.size(), -1);
    block_.clear();
}

void WaveFile::finish() {
    flushBlock();
    const auto head = waveHead(static_cast<std::uint32_t>(dataBytes_));
    writeAll(head.data() + 4, 4, 4);
    writeAll(head.data() + 42, 4, 42);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot finish", errno);
}

// Writes everything, at the current position (offset < 0) or at an offset.
void WaveFile::writeAll(const void* bytes, std::size_t length, long long offset) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    while (length > 0) {
        const ssize_t n = offset < 0 ? ::write(fd_, p, length) : ::pwrite(fd_, p, length, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write", errno);
        }
        if (n == 0) fail("cannot write", ENOSPC);
        p += n;
        length -= static_cast<std::size_t>(n);
        if (offset >= 0) offset += n;
    }
}

void WaveFile::fail(const std::string& what, int error) const {
    throw OutputError(4, what + " " + path_ + ": " + std::strerror(error));
}

}  // namespace quarvel
