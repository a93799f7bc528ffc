// JSON-RPC over a pair of file descriptors with the protocol's framing: a
// header block ("Content-Length: N", CR LF after each line, an empty line),
// then N bytes of JSON.
#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace quarvel::lsp {

class MessageReader {
  public:
    explicit MessageReader(int fd) : fd_(fd) {}

    enum class Status {
        message,    // *body holds one message's bytes
        badHeader,  // a header block without a usable length, skipped
        timeout,    // nothing whole arrived in time
        end,        // the input ended
    };
    // Waits at most timeoutMs (negative: for ever) for a whole message.
    Status read(std::string* body, int timeoutMs);

  private:
    bool fill(int timeoutMs);

    int fd_;
    std::string buffer_;
    std::size_t skipping_ = 0;  // bytes of a refused body still to drop
    bool ended_ = false;
};

// Writes whole messages; safe from several threads.
class MessageWriter {
  public:
    explicit MessageWriter(int fd) : fd_(fd) {}
    // False once the other side is gone.
    bool send(const nlohmann::json& message);

  private:
    int fd_;
    std::mutex mutex_;
    bool broken_ = false;
};

}  // namespace quarvel::lsp
