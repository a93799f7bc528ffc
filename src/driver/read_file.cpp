#include "driver/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "output/staged_file.h"

namespace quarvel {

namespace {

// The score's end marks go behind the bytes without moving them.
constexpr std::size_t kRoomAfter = 8;

// Reads from fd to its end into bytes, which starts with room for what the
// file is expected to hold; answers 0 with bytes cut to what was read (the
// room stays reserved), or the errno of the failed read.
int readToEnd(int fd, std::vector<std::uint8_t>& bytes) {
    std::size_t length = 0;
    for (;;) {
        if (length == bytes.size()) bytes.resize(bytes.size() * 2 + kRoomAfter);
        const ssize_t n = ::read(fd, bytes.data() + length, bytes.size() - length);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        length += static_cast<std::size_t>(n);
    }
    bytes.resize(length);
    return 0;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

InputFile readInputFile(const std::string& name, const std::string& role, std::uint64_t largest) {
    InputFile file;
    const Descriptor fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (fd.get() < 0 || fstat(fd.get(), &info) != 0) {
        file.problem = std::strerror(errno);
        return file;
    }
    if (S_ISDIR(info.st_mode)) {
        file.problem = std::strerror(EISDIR);
        return file;
    }
    if (!S_ISREG(info.st_mode)) {
        file.problem = "not a regular file";
        return file;
    }
    protectInput(fd.get(), role);
    if (static_cast<std::uint64_t>(info.st_size) > largest) {
        file.tooLarge = true;
        file.problem = "the file is larger than " + std::to_string(largest) + " bytes";
        return file;
    }
    try {
        // Room for the file as it is now and the end marks: the read that
        // finds the end needs no more.
        file.bytes.resize(static_cast<std::size_t>(info.st_size) + kRoomAfter);
        if (const int error = readToEnd(fd.get(), file.bytes); error != 0) {
            file.problem = std::strerror(error);
            file.bytes.clear();
        }
    } catch (const std::bad_alloc&) {
        file.outOfMemory = true;
        file.bytes = {};
    } catch (const std::length_error&) {
        file.outOfMemory = true;
        file.problem = "the file is too large";
        file.bytes = {};
    }
    return file;
}

}  // namespace quarvel
