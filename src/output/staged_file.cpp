#include "output/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output/output_error.h"

namespace quarvel {

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

StagedFile::StagedFile(std::string path) : path_(std::move(path)) {
    const std::size_t slash = path_.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    std::vector<char> name(dir.begin(), dir.end());
    const std::string hidden = "." + base + ".XXXXXX";
    name.insert(name.end(), hidden.begin(), hidden.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) fail("cannot create", errno);
    temp_ = name.data();
    // mkostemp makes the file private; give it the mode a plain create would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, 0666 & ~mask) != 0) fail("cannot create", errno);
}

StagedFile::~StagedFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void StagedFile::write(const void* bytes, std::size_t length) {
    const int error = writeAll(fd_, bytes, length);
    if (error != 0) fail("cannot write", error);
}

void StagedFile::commit() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot write", errno);
    if (::rename(temp_.c_str(), path_.c_str()) != 0) fail("cannot create", errno);
    temp_.clear();
}

void StagedFile::fail(const std::string& what, int error) const {
    throw OutputError(4, what + " " + path_ + ": " + std::strerror(error));
}

void writeFileWhole(const std::string& path, const void* bytes, std::size_t length) {
    StagedFile file(path);
    file.write(bytes, length);
    file.commit();
}

}  // namespace quarvel
