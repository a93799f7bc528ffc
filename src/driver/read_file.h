// Reading a whole open file, as the score is read: the bytes exactly as
// stored, however the file grows while it is read.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarvel {

// Reads from fd to its end into bytes, which starts with room for what the
// file is expected to hold; answers 0 with bytes cut to what was read, or
// the errno of the failed read. Throws std::bad_alloc when memory runs out.
inline int readWholeFile(int fd, std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) bytes.resize(4096);
    std::size_t length = 0;
    for (;;) {
        if (length == bytes.size()) bytes.resize(bytes.size() * 2);
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

}  // namespace quarvel
