// The one way the program writes a file (a WAVE, an export, a MIDI file,
// anything else): whole or not at all.
//
// - The file is written under a hidden temporary name (`.name.XXXXXX`,
//   created exclusively) in the folder of its final name, and renamed over it
//   only when complete. Until then the final name keeps what it held; a
//   writer that fails or gives up leaves nothing behind.
// - A symbolic link at the target stays a link: the file it leads to (or
//   would lead to) is the one replaced.
// - A target that is not a regular file (a fifo, a device, a directory) is
//   refused before anything is opened for writing, and so is a file this run
//   reads (the score, see protectInput): an output never replaces an input.
// - The new file gets the old one's mode (and owner, where allowed), or what
//   a plain create would give (0666 less the umask).
// - Every temporary file of the run is known to removeUnfinishedFiles(),
//   which the signal handlers and the exits call: no signal that ends the
//   run leaves one behind.
//
// Every failure is an OutputError with status 4 and the system's reason.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace quarvel {

class StagedFile {
  public:
    // What to do when the folder takes no new file but the target exists and
    // is writable: refuse (the default), or write the target in place,
    // truncated first (the old way of -w, kept where nothing else works).
    enum class Fallback { none, inPlace };

    // Checks the target and creates the temporary file (or, with the
    // fallback, opens the target). Throws OutputError.
    explicit StagedFile(std::string path, Fallback fallback = Fallback::none);
    ~StagedFile();  // closes and removes the temporary file unless committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // The descriptor to write to (read and write, at offset 0 at first).
    int fd() const { return fd_; }
    // The name as given, for messages.
    const std::string& path() const { return path_; }
    // Whether the target itself is being written (the fallback).
    bool inPlace() const { return inPlace_; }

    // Writes all the bytes at the current offset; throws OutputError.
    void write(const void* bytes, std::size_t length);
    // Closes the file and puts it in place under its final name; throws
    // OutputError (and the temporary file goes).
    void commit();
    // Closes the file and removes the temporary file; the target keeps what
    // it held. Safe to call more than once.
    void discard() noexcept;
    // Throws OutputError for the final name: "<what> <path>: <reason>".
    [[noreturn]] void fail(const std::string& what, int error) const;

  private:
    void create(Fallback fallback);
    bool createTemporary(mode_t mode, int& error);
    void openInPlace(int createError);

    std::string path_;
    int fd_ = -1;
    int directoryFd_ = -1;   // the folder the file is in
    std::string name_;       // the final name in that folder
    std::string temporary_;  // the temporary name while writing; empty in place
    int slot_ = -1;          // its entry among the run's unfinished files
    bool inPlace_ = false;
};

// Writes a whole file from memory through a StagedFile.
void writeFileWhole(const std::string& path, const void* bytes, std::size_t length);

// Blocks every signal for as long as it lives: the list of unfinished files
// changes only while no handler can read it.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t old_;
};

// The extension of a file name in lower case, without the dot; "" when the
// last component has none.
std::string lowerExtensionOf(const std::string& path);

// Writes all the bytes to a descriptor; answers 0 or the errno of the failure.
int writeAll(int fd, const void* bytes, std::size_t length);

// Makes the file open on `fd` an input of the run: no StagedFile may replace
// it (nor write it in place). `what` names it in the refusal ("the score").
void protectInput(int fd, const std::string& what);

// Removes every temporary file of the run that was not put in place. Safe to
// call from a signal handler.
void removeUnfinishedFiles() noexcept;

}  // namespace quarvel
