#include "lsp/protocol.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace quarvel::lsp {

namespace {

// A header block longer than this, or a body larger, is refused.
constexpr std::size_t kHeaderLimit = 64 * 1024;
constexpr std::size_t kBodyLimit = std::size_t{1} << 30;

}  // namespace

bool MessageReader::fill(int timeoutMs) {
    if (ended_) return false;
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return false;
        break;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        std::size_t take = static_cast<std::size_t>(n);
        std::size_t from = 0;
        if (skipping_ > 0) {
            from = std::min(skipping_, take);
            skipping_ -= from;
        }
        buffer_.append(chunk + from, take - from);
        return true;
    }
}

MessageReader::Status MessageReader::read(std::string* body, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto headerEnd = buffer_.find("\r\n\r\n");
        if (headerEnd != std::string::npos) {
            std::size_t length = 0;
            bool known = false;
            std::size_t line = 0;
            while (line < headerEnd) {
                std::size_t lineEnd = buffer_.find("\r\n", line);
                if (lineEnd > headerEnd) lineEnd = headerEnd;
                const std::string field = buffer_.substr(line, lineEnd - line);
                const auto colon = field.find(':');
                if (colon != std::string::npos) {
                    std::string name = field.substr(0, colon);
                    for (auto& c : name)
                        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    if (name == "content-length") {
                        const std::string value = field.substr(colon + 1);
                        char* endOfNumber = nullptr;
                        errno = 0;
                        const unsigned long long parsed =
                            std::strtoull(value.c_str(), &endOfNumber, 10);
                        const bool digitsOnly =
                            value.find_first_not_of(" \t0123456789") == std::string::npos &&
                            value.find_first_of("0123456789") != std::string::npos;
                        if (digitsOnly && errno == 0) {
                            length = static_cast<std::size_t>(parsed);
                            known = true;
                        }
                    }
                }
                line = lineEnd + 2;
            }
            const std::size_t bodyStart = headerEnd + 4;
            if (!known) {
                buffer_.erase(0, bodyStart);
                return Status::badHeader;
            }
            if (length > kBodyLimit) {
                // Dropped as it arrives; reported once.
                const std::size_t have = buffer_.size() - bodyStart;
                if (have >= length) {
                    buffer_.erase(0, bodyStart + length);
                } else {
                    skipping_ = length - have;
                    buffer_.clear();
                }
                return Status::badHeader;
            }
            if (buffer_.size() - bodyStart >= length) {
                *body = buffer_.substr(bodyStart, length);
                buffer_.erase(0, bodyStart + length);
                return Status::message;
            }
        } else if (buffer_.size() > kHeaderLimit) {
            buffer_.clear();
            return Status::badHeader;
        }
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        if (!fill(wait)) return ended_ ? Status::end : Status::timeout;
    }
}

bool MessageWriter::send(const nlohmann::json& message) {
    const std::string body = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::string whole = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::lock_guard lock(mutex_);
    if (broken_) return false;
    std::size_t done = 0;
    while (done < whole.size()) {
        const ssize_t n = ::write(fd_, whole.data() + done, whole.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            broken_ = true;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace quarvel::lsp
