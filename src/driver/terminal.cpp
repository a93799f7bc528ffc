#include "driver/terminal.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace quarvel {

namespace {

// The modes found at start; restored from a signal handler, so plain data.
struct termios savedModes;
volatile sig_atomic_t modesChanged = 0;

void restoreModes() {
    if (modesChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedModes);
        modesChanged = 0;
    }
}

void onSignal(int signalNumber) {
    restoreModes();
    // The handler was installed once-only: raise again for the default action.
    raise(signalNumber);
}

void installSignalHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

// A process in the background of its terminal must not touch it.
bool inForeground() {
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    return group != -1 && group == getpgrp();
}

bool readByte(unsigned char& byte) {
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

bool byteWithin(int timeoutMs) {
    struct pollfd fd {
        STDIN_FILENO, POLLIN, 0
    };
    for (;;) {
        const int n = ::poll(&fd, 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

}  // namespace

Terminal::Terminal() {
    isTerminal_ = isatty(STDIN_FILENO) == 1;
    keysOn_ = !isTerminal_ || inForeground();
    if (isTerminal_ && keysOn_ && tcgetattr(STDIN_FILENO, &savedModes) != 0) keysOn_ = false;
    if (isTerminal_) installSignalHandlers();
}

Terminal::~Terminal() {
    restoreModes();
}

void Terminal::restore() {
    restoreModes();
}

void Terminal::beginWait() {
    if (!isTerminal_ || !keysOn_ || modesChanged) return;
    if (!inForeground()) {
        keysOn_ = false;
        return;
    }
    struct termios raw = savedModes;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    modesChanged = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) modesChanged = 0;
}

void Terminal::endWait() {
    restoreModes();
}

std::optional<int> Terminal::pollKey() {
    return readKey(0);
}

std::optional<int> Terminal::waitKey() {
    beginWait();
    const auto key = readKey(-1);
    endWait();
    return key;
}

// One key: a byte, or a whole escape sequence (cursor and function keys,
// Alt+key) folded into one code that matches no command key.
std::optional<int> Terminal::readKey(int timeoutMs) {
    if (!keysOn_ || atEnd_) return std::nullopt;
    if (!byteWithin(timeoutMs)) return std::nullopt;
    unsigned char byte = 0;
    if (!readByte(byte)) {
        atEnd_ = true;
        return std::nullopt;
    }
    if (byte != kKeyEscape || !isTerminal_) return byte;
    // A lone ESC stops; bytes that follow at once belong to a sequence.
    constexpr int kSequenceGapMs = 30;
    if (!byteWithin(kSequenceGapMs)) return byte;
    unsigned char next = 0;
    if (!readByte(next)) return byte;
    if (next == '[' || next == 'O') {
        // Parameters and intermediates up to the final byte 0x40..0x7E.
        unsigned char c = 0;
        int length = 0;
        while (byteWithin(kSequenceGapMs) && readByte(c)) {
            ++length;
            if (c >= 0x40 && c <= 0x7E) break;
        }
        // The plain cursor keys left and right: ESC [ D, ESC O D (and C).
        if (length == 1 && c == 'D') return kKeyLeft;
        if (length == 1 && c == 'C') return kKeyRight;
    }
    return kKeyOther;  // a multi-byte key: none of space, ESC and TAB
}

bool shiftHeld() {
    // Subcode 6 asks the virtual console for its shift state; bit 0 is Shift.
    char state = 6;
    if (ioctl(STDIN_FILENO, TIOCLINUX, &state) != 0) return false;
    return (state & 1) != 0;
}

}  // namespace quarvel
