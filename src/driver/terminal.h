// Keys from standard input. On a terminal the program switches to
// non-canonical mode without echo only while it waits for keys and is in the
// foreground, and puts the terminal back on every way out, signals included:
// every signal whose default action ends the process, and Ctrl-Z (the modes
// come back with `fg`). In the background no key is read and the terminal is
// never touched. From a pipe or a file the bytes are the keys; at its end no
// key is ever waiting.
#pragma once

#include <optional>

#include "output/key_input.h"

namespace quarvel {

class Terminal : public KeyInput {
  public:
    // Installs the signal handlers (signals the caller ignores stay ignored)
    // and puts /dev/null, read-only, in place of a closed standard stream, so
    // that no file the run opens becomes standard output by chance.
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
    bool isTerminal_ = false;
    bool atEnd_ = false;
};

// Whether a Shift key is held right now; only a virtual console can tell.
bool shiftHeld();

}  // namespace quarvel
