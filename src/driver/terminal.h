// Keys from standard input. On a terminal the program switches to
// non-canonical mode without echo only while it waits for keys, and puts the
// terminal back on every way out, signals included. From a pipe or a file the
// bytes are the keys; at its end no key is ever waiting.
#pragma once

#include <optional>

#include "output/sample_sink.h"

namespace quarvel {

class Terminal : public KeyInput {
  public:
    Terminal();
    ~Terminal() override;

    void beginWait() override;
    void endWait() override;
    std::optional<int> pollKey() override;
    // Waits for one key; nullopt at the end of the input.
    std::optional<int> waitKey();

    // Restores the terminal modes if they were changed (safe to call any time).
    static void restore();

  private:
    std::optional<int> readKey(int timeoutMs);
    bool keysOn_ = false;
    bool isTerminal_ = false;
    bool atEnd_ = false;
};

// Whether a Shift key is held right now; only a virtual console can tell.
bool shiftHeld();

}  // namespace quarvel
