#include "driver/terminal.h"

#include "driver/status_line.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "output/staged_file.h"

namespace quarvel {

namespace {

// The modes found when single keys were switched on; restored from signal
// handlers, so plain data.
struct termios savedModes;
volatile sig_atomic_t modesChanged = 0;
volatile sig_atomic_t waitActive = 0;  // a wait for keys is in progress
volatile sig_atomic_t inputIsTerminal = 0;

// A process in the background of its terminal must not touch it.
bool inForeground() {
    const pid_t group = tcgetpgrp(STDIN_FILENO);
    return group != -1 && group == getpgrp();
}

// tcsetattr, never stopped by SIGTTOU (the callers check the foreground).
int setModes(const struct termios& modes) {
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &old);
    const int r = tcsetattr(STDIN_FILENO, TCSANOW, &modes);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return r;
}

// Both async-signal-safe.
void restoreModes() {
    if (modesChanged) {
        if (inForeground()) setModes(savedModes);
        modesChanged = 0;
    }
}

// Switches single keys on when a wait wants them. What the terminal is in
// is looked at, not what the program last set: a job stopped by a signal
// that cannot be caught (SIGSTOP) finds the shell's line mode when it goes
// on, and then switches single keys on again over it (the modes saved when
// they were first switched on stay the ones to restore).
void applySingleKeys() {
    if (!inputIsTerminal || !waitActive || !inForeground()) return;
    struct termios now;
    if (tcgetattr(STDIN_FILENO, &now) != 0) return;
    if (modesChanged && (now.c_lflag & (ICANON | ECHO)) == 0) return;  // still single keys
    if (!modesChanged) savedModes = now;
    struct termios raw = now;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    const sig_atomic_t wasChanged = modesChanged;
    modesChanged = 1;
    if (setModes(raw) != 0) modesChanged = wasChanged;
}

// The job control signals wait while the main course changes the modes.
class JobControlHeld {
  public:
    JobControlHeld() {
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGTSTP);
        sigaddset(&held, SIGCONT);
        sigprocmask(SIG_BLOCK, &held, &old_);
    }
    ~JobControlHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    JobControlHeld(const JobControlHeld&) = delete;
    JobControlHeld& operator=(const JobControlHeld&) = delete;

  private:
    sigset_t old_;
};

// Signals whose default action ends the process.
constexpr int kFatalSignals[] = {SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                                 SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                                 SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};

void onFatalSignal(int signalNumber) {
    restoreModes();
    eraseStatusLine();
    removeUnfinishedFiles();
    // The handler was installed once-only: the default action follows as
    // soon as the handler returns.
    raise(signalNumber);
}

// The handlers' mask: nothing changes the modes while a handler does.
struct sigaction handlerAction(void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGTTOU);
    sigaddset(&action.sa_mask, SIGTSTP);
    sigaddset(&action.sa_mask, SIGCONT);
    action.sa_flags = flags;
    return action;
}

void onStop(int signalNumber) {
    const int savedErrno = errno;
    restoreModes();
    // Stop by the default action; execution goes on here after SIGCONT, and
    // the SIGCONT handler then switches single keys on again if a wait wants
    // them and the job is in the foreground.
    struct sigaction stop {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(signalNumber, &stop, nullptr);
    raise(signalNumber);
    sigset_t self;
    sigemptyset(&self);
    sigaddset(&self, signalNumber);
    sigprocmask(SIG_UNBLOCK, &self, nullptr);
    const struct sigaction again = handlerAction(onStop, SA_RESTART);
    sigaction(signalNumber, &again, nullptr);
    errno = savedErrno;
}

void onContinue(int) {
    const int savedErrno = errno;
    applySingleKeys();  // back in the foreground in the middle of a wait
    errno = savedErrno;
}

void onFileTooLarge(int) {}  // the write fails with EFBIG and says so

// Installs `handler` unless the caller made the process ignore the signal
// (or something else, a sanitizer, handles it already).
void installUnlessTaken(int signalNumber, void (*handler)(int), int flags) {
    struct sigaction current {};
    if (sigaction(signalNumber, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return;
    const struct sigaction action = handlerAction(handler, flags);
    sigaction(signalNumber, &action, nullptr);
}

void installSignalHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int signalNumber : kFatalSignals) {
        installUnlessTaken(signalNumber, onFatalSignal, SA_RESETHAND);
    }
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        installUnlessTaken(signalNumber, onFatalSignal, SA_RESETHAND);
    }
    installUnlessTaken(SIGTSTP, onStop, SA_RESTART);
    installUnlessTaken(SIGCONT, onContinue, SA_RESTART);
    // A file size limit (ulimit -f) fails the write instead of ending the run.
    installUnlessTaken(SIGXFSZ, onFileTooLarge, SA_RESTART);
}

// Standard streams that are closed get /dev/null, read-only: reads find the
// end, writes fail as they would have.
void occupyClosedStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", O_RDONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
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

// How long a wait on a terminal looks before it checks the foreground again.
constexpr int kForegroundCheckMs = 100;

}  // namespace

Terminal::Terminal() {
    occupyClosedStreams();
    isTerminal_ = isatty(STDIN_FILENO) == 1;
    inputIsTerminal = isTerminal_ ? 1 : 0;
    installSignalHandlers();
}

Terminal::~Terminal() {
    const JobControlHeld held;
    waitActive = 0;
    restoreModes();
}

void Terminal::restore() {
    const JobControlHeld held;
    restoreModes();
}

void Terminal::beginWait() {
    const JobControlHeld held;
    waitActive = 1;
    applySingleKeys();
}

void Terminal::endWait() {
    const JobControlHeld held;
    waitActive = 0;
    restoreModes();
}

std::optional<int> Terminal::pollKey() {
    return readKey(0);
}

std::optional<int> Terminal::waitKey() {
    beginWait();
    std::optional<int> key;
    if (!isTerminal_) {
        key = readKey(-1);
    } else {
        // The foreground can come and go while the prompt waits.
        while (!key && !atEnd_) key = readKey(kForegroundCheckMs);
    }
    endWait();
    return key;
}

// One key: a byte, or a whole escape sequence (cursor and function keys,
// Alt+key) folded into one code that matches no command key.
std::optional<int> Terminal::readKey(int timeoutMs) {
    if (atEnd_) return std::nullopt;
    if (isTerminal_) {
        // Decided at every look: keys only in the foreground, where single
        // keys are switched on again after a job that was moved there.
        if (!inForeground()) {
            if (timeoutMs > 0) ::poll(nullptr, 0, timeoutMs);
            return std::nullopt;
        }
        const JobControlHeld held;
        applySingleKeys();
    }
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
