#include "output/wave_file.h"

#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "output/output_error.h"

namespace quarvel {

namespace {

constexpr std::size_t kRingRooms = 256;     // 4 MiB in flight at most
constexpr std::size_t kRoomsPerWrite = 64;  // the writer's largest single write: 1 MiB
}  // namespace

void checkWaveFits(std::uint64_t totalFrames, const std::string& path) {
    if (waveFits(totalFrames)) return;
    throw OutputError(ExitStatus::outputFailure,
                      "cannot write " + (path.empty() ? std::string("the WAVE file") : path) +
                          ": " + std::to_string(totalFrames) +
                          " frames are more than the 4 GiB a WAVE file can hold");
}

WaveFile::WaveFile(std::string path)
    : path_(std::move(path)),
      ring_(new (std::align_val_t{64}) std::uint8_t[kRingRooms * kWaveRoomBytes]),
      used_(kRingRooms, 0) {
    try {
        file_ = std::make_unique<StagedFile>(path_, StagedFile::Fallback::inPlace);
        fd_ = file_->fd();
        const auto head = waveHead(0);
        const int error = writeAt(head.data(), head.size(), 0);
        if (error != 0) fail("cannot write", error);
        // The writer takes no signals: their handlers run on the main thread.
        const SignalsBlocked blocked;
        try {
            writer_ = std::thread([this] { writerLoop(); });
            threaded_ = true;
        } catch (const std::system_error&) {
            threaded_ = false;  // no thread to be had: every room is written as committed
        }
    } catch (...) {
        file_.reset();
        throw;
    }
}

WaveFile::~WaveFile() {
    stopWriter();
    file_.reset();  // a file not finished goes
}

std::uint8_t* WaveFile::lend() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return writeError_ != 0 || committed_ - written_ < kRingRooms; });
    if (writeError_ != 0) fail("cannot write", writeError_);
    lent_ = ring_.get() + (committed_ % kRingRooms) * kWaveRoomBytes;
    return lent_;
}

void WaveFile::commit(std::size_t used) {
    if (lent_ == nullptr) return;
    used = std::min(used, kWaveRoomBytes);
    if (dataBytes_ + used > kMaxWaveDataBytes) fail("cannot write", EFBIG);
    dataBytes_ += used;
    lent_ = nullptr;
    if (!threaded_) {
        used_[committed_ % kRingRooms] = static_cast<std::uint32_t>(used);
        ++committed_;
        const int error = writeRooms(written_, committed_);
        written_ = committed_;
        if (error != 0) {
            writeError_ = error;
            fail("cannot write", error);
        }
        return;
    }
    std::lock_guard lock(mutex_);
    used_[committed_ % kRingRooms] = static_cast<std::uint32_t>(used);
    if (committed_++ == written_) changed_.notify_all();  // the writer may be idle
}

void WaveFile::write(const void* bytes, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    while (length > 0) {
        const std::size_t n = std::min(length, kWaveRoomBytes);
        std::memcpy(lend(), p, n);
        commit(n);
        p += n;
        length -= n;
    }
}

// Puts committed rooms on the disk in order, several at a time.
void WaveFile::writerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || committed_ > written_; });
        if (committed_ == written_) return;
        const std::uint64_t first = written_;
        std::uint64_t last = std::min(committed_, first + kRoomsPerWrite);
        // One vector write, never wrapping around the ring.
        last = std::min(last, first + (kRingRooms - first % kRingRooms));
        const bool skip = writeError_ != 0;
        lock.unlock();
        const int error = skip ? 0 : writeRooms(first, last);
        lock.lock();
        written_ = last;
        if (error != 0 && writeError_ == 0) writeError_ = error;
        changed_.notify_all();
    }
}

// Writes rooms first..last (all in one turn of the ring) behind what is on
// the disk; answers 0 or the reason of the failure.
int WaveFile::writeRooms(std::uint64_t first, std::uint64_t last) {
    iovec pieces[kRoomsPerWrite];
    std::size_t total = 0;
    int count = 0;
    for (std::uint64_t room = first; room < last; ++room, ++count) {
        pieces[count].iov_base = ring_.get() + (room % kRingRooms) * kWaveRoomBytes;
        pieces[count].iov_len = used_[room % kRingRooms];
        total += pieces[count].iov_len;
    }
    int error = 0;
    const std::uint64_t offset = kWaveHeadBytes + writtenBytes_;
    std::size_t done = 0;
    int index = 0;
    while (done < total && error == 0) {
        const ssize_t n =
            ::pwritev(fd_, pieces + index, count - index, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        if (n == 0) {
            error = ENOSPC;
            continue;
        }
        done += static_cast<std::size_t>(n);
        // Step over the pieces written whole; trim a piece written in part.
        for (std::size_t left = static_cast<std::size_t>(n); left > 0;) {
            if (left >= pieces[index].iov_len) {
                left -= pieces[index].iov_len;
                ++index;
            } else {
                pieces[index].iov_base = static_cast<std::uint8_t*>(pieces[index].iov_base) + left;
                pieces[index].iov_len -= left;
                left = 0;
            }
        }
    }
    writtenBytes_ += total;
    return error;
}

void WaveFile::stopWriter() {
    if (!writer_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

void WaveFile::finish() {
    stopWriter();  // writes what is committed, then ends
    if (writeError_ != 0) fail("cannot write", writeError_);
    const auto head = waveHead(static_cast<std::uint32_t>(dataBytes_));
    int error = writeAt(head.data() + 4, 4, 4);
    if (error == 0) error = writeAt(head.data() + 42, 4, 42);
    if (error != 0) fail("cannot write", error);
    // No fsync before the rename: the file is whole for every process from
    // the rename on, which is the promise; waiting for the disk would make a
    // WAVE run several times slower (filesystems that replace by rename, such
    // as ext4, flush the new data before the rename themselves).
    fd_ = -1;
    file_->commit();
}

// Writes everything at an offset; answers 0 or the reason of the failure.
int WaveFile::writeAt(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset) {
    while (length > 0) {
        const ssize_t n = ::pwrite(fd_, bytes, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return ENOSPC;
        bytes += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return 0;
}

void WaveFile::fail(const std::string& what, int error) const {
    throw OutputError(ExitStatus::outputFailure, what + " " + path_ + ": " + std::strerror(error));
}

}  // namespace quarvel
