#include "output/wave_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
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

void checkWaveFits(std::uint64_t totalFrames, const std::string& path) {
    if (totalFrames <= kMaxDataBytes / 4) return;
    throw OutputError(4, "cannot write " + (path.empty() ? std::string("the WAVE file") : path) +
                             ": " + std::to_string(totalFrames) +
                             " frames are more than the 4 GiB a WAVE file can hold");
}

namespace {

// The temporary file being written, for removal from a signal handler: plain
// data, set only while signals are blocked.
volatile sig_atomic_t unfinishedDirectory = -1;
volatile sig_atomic_t unfinishedSet = 0;
char unfinishedName[NAME_MAX + 1];

// Blocks every signal for as long as it lives.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t old_;
};

// Six characters that make a name unique enough to be tried.
std::string uniqueSuffix(unsigned attempt) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x =
        static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
        (static_cast<std::uint64_t>(::getpid()) << 40) ^ (attempt * 0x9E3779B97F4A7C15ull);
    std::string out;
    for (int i = 0; i < 6; ++i) {
        x ^= x >> 33;
        x *= 0xFF51AFD7ED558CCDull;
        x ^= x >> 29;
        out.push_back(kLetters[x % (sizeof kLetters - 1)]);
    }
    return out;
}

bool sameFile(int fd, const struct stat& info) {
    struct stat other {};
    return fstat(fd, &other) == 0 && other.st_dev == info.st_dev && other.st_ino == info.st_ino;
}

}  // namespace

void removeUnfinishedWave() noexcept {
    if (unfinishedSet) {
        unlinkat(unfinishedDirectory, unfinishedName, 0);
        unfinishedSet = 0;
    }
}

WaveFile::WaveFile(std::string path)
    : path_(std::move(path)),
      ring_(new (std::align_val_t{64}) std::uint8_t[kRingRooms * kWaveRoomBytes]),
      used_(kRingRooms, 0) {
    try {
        create();
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
        discard();
        throw;
    }
}

WaveFile::~WaveFile() {
    stopWriter();
    discard();
}

// Opens the directory, looks at what the name stands for now, and opens the
// temporary file (or the WAVE itself when the directory takes no new file).
void WaveFile::create() {
    // A link stays a link: the file it leads to (or would lead to) is replaced.
    std::string target = path_;
    struct stat info {};
    for (int hop = 0; hop < 40 && lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
         ++hop) {
        std::string link(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1,
                         '\0');
        const ssize_t n = readlink(target.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) break;
        link.resize(static_cast<std::size_t>(n));
        const std::size_t slash = target.find_last_of('/');
        target = link.front() == '/' || slash == std::string::npos
                     ? link
                     : target.substr(0, slash + 1) + link;
    }
    const std::size_t slash = target.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    name_ = slash == std::string::npos ? target : target.substr(slash + 1);
    directoryFd_ = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd_ < 0) fail("cannot create", errno);

    bool exists = false;
    if (fstatat(directoryFd_, name_.c_str(), &info, 0) == 0) {
        // A fifo or a device would block for ever or refuse to seek.
        if (!S_ISREG(info.st_mode)) {
            throw OutputError(4, "cannot write " + path_ + ": not a regular file");
        }
        exists = true;
    } else if (errno != ENOENT) {
        fail("cannot create", errno);
    }

    // The new file gets the old one's mode, or what a created file gets.
    mode_t mode = 0;
    if (exists) {
        mode = info.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    int createError = 0;
    if (createTemporary(mode, createError)) {
        if (exists && (info.st_uid != geteuid() || info.st_gid != getegid())) {
            (void)!fchown(fd_, info.st_uid, info.st_gid);  // kept where allowed
        }
        return;
    }
    if (!exists) fail("cannot create", createError);
    openInPlace(createError);
}

bool WaveFile::createTemporary(mode_t mode, int& error) {
    const std::string stem = "." + name_.substr(0, std::min<std::size_t>(name_.size(), 200)) + ".";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = stem + uniqueSuffix(attempt);
        const SignalsBlocked blocked;  // created and registered as one step
        const int fd = openat(directoryFd_, name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = errno;
            return false;
        }
        fd_ = fd;
        temporary_ = name;
        std::memcpy(unfinishedName, name.c_str(), name.size() + 1);
        unfinishedDirectory = directoryFd_;
        unfinishedSet = 1;
        if (fchmod(fd_, mode) != 0) {
            // The file keeps the safe mode 0600 it was created with.
        }
        return true;
    }
    error = EEXIST;
    return false;
}

// The directory takes no new file: the old way, the WAVE truncated and
// written where it is.
void WaveFile::openInPlace(int createError) {
    fd_ = openat(directoryFd_, name_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) fail("cannot create", errno == EACCES ? createError : errno);
    struct stat info {};
    if (fstat(fd_, &info) != 0) fail("cannot create", errno);
    if (!S_ISREG(info.st_mode)) {
        throw OutputError(4, "cannot write " + path_ + ": not a regular file");
    }
    // The result line or the diagnostics would be written into the samples.
    if (sameFile(STDOUT_FILENO, info) || sameFile(STDERR_FILENO, info)) {
        throw OutputError(4, "cannot write " + path_ +
                                 ": it is the program's own output, and its folder takes no "
                                 "new file");
    }
    if (ftruncate(fd_, 0) != 0) fail("cannot create", errno);
}

// Closes the file; a temporary file that was not put in place goes.
void WaveFile::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        const SignalsBlocked blocked;
        unlinkat(directoryFd_, temporary_.c_str(), 0);
        unfinishedSet = 0;
        temporary_.clear();
    }
    if (directoryFd_ >= 0) {
        ::close(directoryFd_);
        directoryFd_ = -1;
    }
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
    if (dataBytes_ + used > kMaxDataBytes) fail("cannot write", EFBIG);
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
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot finish", errno);
    if (!temporary_.empty()) {
        if (renameat(directoryFd_, temporary_.c_str(), directoryFd_, name_.c_str()) != 0) {
            fail("cannot finish", errno);
        }
        const SignalsBlocked blocked;
        unfinishedSet = 0;
        temporary_.clear();
    }
    ::close(directoryFd_);
    directoryFd_ = -1;
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
    throw OutputError(4, what + " " + path_ + ": " + std::strerror(error));
}

}  // namespace quarvel
