// Keys typed while a sink waits for the sound device, and the codes they
// arrive as.
#pragma once

#include <optional>

namespace quarvel {

inline constexpr int kKeySpace = 0x20;
inline constexpr int kKeyEscape = 0x1B;
inline constexpr int kKeyTab = 0x09;
// Multi-byte keys: the cursor keys left and right, and every other sequence.
inline constexpr int kKeyOther = 0x100;
inline constexpr int kKeyLeft = 0x101;
inline constexpr int kKeyRight = 0x102;

// pollKey answers at once: a key code, or nullopt when none is waiting.
// Multi-byte keys (cursor and function keys) arrive as one code that is none
// of space, ESC and TAB.
class KeyInput {
  public:
    virtual ~KeyInput() = default;
    virtual void beginWait() {}
    virtual void endWait() {}
    virtual std::optional<int> pollKey() = 0;
};

// Keys are read (on a terminal: without echo) for as long as this lives.
class KeyWait {
  public:
    explicit KeyWait(KeyInput* keys) : keys_(keys) {
        if (keys_) keys_->beginWait();
    }
    ~KeyWait() {
        if (keys_) keys_->endWait();
    }
    KeyWait(const KeyWait&) = delete;
    KeyWait& operator=(const KeyWait&) = delete;

  private:
    KeyInput* keys_;
};

}  // namespace quarvel
