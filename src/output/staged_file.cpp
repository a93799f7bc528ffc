#include "output/staged_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "output/output_error.h"

namespace quarvel {

namespace {

// The temporary files being written, for removal from a signal handler:
// plain data, changed only while signals are blocked.
struct Unfinished {
    volatile sig_atomic_t set;
    int directory;
    char name[NAME_MAX + 1];
};
constexpr int kUnfinishedSlots = 16;
Unfinished unfinished[kUnfinishedSlots];

// The files this run reads.
struct Input {
    dev_t device;
    ino_t inode;
    std::string what;
};
std::vector<Input>& inputs() {
    static std::vector<Input> list;
    return list;
}

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

// Follows symbolic links from `path` as far as they lead (a dangling link
// leads to the name it holds).
std::string throughLinks(const std::string& path) {
    std::string target = path;
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
    return target;
}

// An output never replaces a file the run reads.
void refuseInput(const std::string& path, const struct stat& info) {
    for (const Input& input : inputs()) {
        if (input.device == info.st_dev && input.inode == info.st_ino) {
            throw OutputError(ExitStatus::outputFailure,
                              "cannot write " + path + ": it is " + input.what + " this run reads");
        }
    }
}

}  // namespace

int writeAll(int fd, const void* bytes, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return ENOSPC;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

std::string lowerExtensionOf(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    const std::size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string extension = path.substr(dot + 1);
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

void protectInput(int fd, const std::string& what) {
    struct stat info {};
    if (fstat(fd, &info) == 0) inputs().push_back({info.st_dev, info.st_ino, what});
}

void removeUnfinishedFiles() noexcept {
    for (Unfinished& file : unfinished) {
        if (file.set) {
            unlinkat(file.directory, file.name, 0);
            file.set = 0;
        }
    }
}

StagedFile::StagedFile(std::string path, Fallback fallback) : path_(std::move(path)) {
    try {
        create(fallback);
    } catch (...) {
        discard();
        throw;
    }
}

StagedFile::~StagedFile() {
    discard();
}

// Opens the folder, looks at what the name stands for now, and opens the
// temporary file (or the target itself, with the fallback).
void StagedFile::create(Fallback fallback) {
    const std::string target = throughLinks(path_);
    const std::size_t slash = target.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    name_ = slash == std::string::npos ? target : target.substr(slash + 1);
    directoryFd_ = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd_ < 0) fail("cannot create", errno);

    struct stat info {};
    bool exists = false;
    if (fstatat(directoryFd_, name_.c_str(), &info, 0) == 0) {
        // A fifo would block for ever, a device is not ours to replace.
        if (!S_ISREG(info.st_mode)) {
            throw OutputError(ExitStatus::outputFailure,
                              "cannot write " + path_ + ": not a regular file");
        }
        refuseInput(path_, info);
        exists = true;
    } else if (errno != ENOENT) {
        fail("cannot create", errno);
    }

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
    if (!exists || fallback != Fallback::inPlace) fail("cannot create", createError);
    openInPlace(createError);
}

bool StagedFile::createTemporary(mode_t mode, int& error) {
    const std::string stem = "." + name_.substr(0, std::min<std::size_t>(name_.size(), 200)) + ".";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = stem + uniqueSuffix(attempt);
        const SignalsBlocked blocked;  // created and registered as one step
        int slot = 0;
        while (slot < kUnfinishedSlots && unfinished[slot].set) ++slot;
        if (slot == kUnfinishedSlots) {
            error = EMFILE;
            return false;
        }
        const int fd = openat(directoryFd_, name.c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            error = errno;
            return false;
        }
        fd_ = fd;
        temporary_ = name;
        slot_ = slot;
        std::memcpy(unfinished[slot].name, name.c_str(), name.size() + 1);
        unfinished[slot].directory = directoryFd_;
        unfinished[slot].set = 1;
        // Where the mode cannot be set, the file keeps the safe 0600.
        (void)!fchmod(fd_, mode);
        return true;
    }
    error = EEXIST;
    return false;
}

// The folder takes no new file: the target truncated and written where it is.
void StagedFile::openInPlace(int createError) {
    fd_ = openat(directoryFd_, name_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) fail("cannot create", errno == EACCES ? createError : errno);
    struct stat info {};
    if (fstat(fd_, &info) != 0) fail("cannot create", errno);
    if (!S_ISREG(info.st_mode)) {
        throw OutputError(ExitStatus::outputFailure,
                          "cannot write " + path_ + ": not a regular file");
    }
    refuseInput(path_, info);
    // The result line or the diagnostics would be written into the file.
    if (sameFile(STDOUT_FILENO, info) || sameFile(STDERR_FILENO, info)) {
        throw OutputError(ExitStatus::outputFailure,
                          "cannot write " + path_ +
                              ": it is the program's own output, and its folder takes no "
                              "new file");
    }
    if (ftruncate(fd_, 0) != 0) fail("cannot create", errno);
    inPlace_ = true;
}

void StagedFile::write(const void* bytes, std::size_t length) {
    const int error = writeAll(fd_, bytes, length);
    if (error != 0) fail("cannot write", error);
}

void StagedFile::commit() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot write", errno);
    if (!temporary_.empty()) {
        if (renameat(directoryFd_, temporary_.c_str(), directoryFd_, name_.c_str()) != 0) {
            fail("cannot finish", errno);
        }
        const SignalsBlocked blocked;
        unfinished[slot_].set = 0;
        temporary_.clear();
    }
    ::close(directoryFd_);
    directoryFd_ = -1;
}

void StagedFile::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temporary_.empty()) {
        const SignalsBlocked blocked;
        unlinkat(directoryFd_, temporary_.c_str(), 0);
        unfinished[slot_].set = 0;
        temporary_.clear();
    }
    if (directoryFd_ >= 0) {
        ::close(directoryFd_);
        directoryFd_ = -1;
    }
}

void StagedFile::fail(const std::string& what, int error) const {
    throw OutputError(ExitStatus::outputFailure, what + " " + path_ + ": " + std::strerror(error));
}

void writeFileWhole(const std::string& path, const void* bytes, std::size_t length) {
    StagedFile file(path);
    file.write(bytes, length);
    file.commit();
}

}  // namespace quarvel
