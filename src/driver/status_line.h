// One line at the foot of the terminal, on standard error, redrawn in place
// while the program plays (where the music is) or writes (how far it got).
// Nothing of it is drawn when standard error is not a terminal; standard
// output is never touched. The line is erased before anything else is
// printed, before the editor starts and before the program ends.
//
// The line is written for the terminal as the locale (LC_ALL, LC_CTYPE,
// LANG) describes it: the file name shown inert, every width counted in
// terminal columns (a CJK character takes two), the program's own signs in
// the locale's character set (plain ASCII stand-ins where it has none), and
// on a terminal that knows no escape sequences (TERM=dumb) erased with
// blanks instead of ESC [ K.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "synth/player.h"

namespace quarvel {

// What the line says while music plays.
struct StatusView {
    std::string name;                // the score's file name, as the system gives it
    int partNumber = 0;              // the part that sounds; shown when not 0, in hexadecimal
    std::optional<std::size_t> bar;  // numbered from 1
    std::uint64_t frame = 0;         // the frame sounding, in the rendering
    std::uint64_t totalFrames = 0;   // of the rendering
    std::string note;                // a word on the state ("ended", ...), or ""
    std::string keys;                // the keys that work now
};

// The line, at most `width` - 1 columns: the keys go first when it is too
// long, then the note, then the name; what is left is cut.
std::string formatStatus(const StatusView& view, std::size_t width);

// "name [#####.....]  45%" for a run that writes or checks.
std::string formatProgress(const std::string& name, std::uint64_t done, std::uint64_t total,
                           std::size_t width);

// Minutes, two-digit seconds and hundredths: "0:04.77", "12:30.00".
std::string formatClock(std::uint64_t frames);

// Columns a text in the locale's character set takes on the terminal.
std::size_t columnsOf(const std::string& text);

// The program's own text (UTF-8) in the locale's character set.
std::string localeText(const std::string& utf8);

// The locale the line is written for: by default the one the environment
// names; a name for the tests ("C", "C.UTF-8", ...).
void useStatusLocale(const char* name);

class StatusLine {
  public:
    // Draws only when standard error is a terminal (or `force`).
    explicit StatusLine(bool force = false);
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    bool enabled() const { return enabled_; }
    // Whether a redraw is due: a few times a second, no more.
    bool due() const;
    void draw(const std::string& text);
    void erase();
    // Erases the line and the `rows` rows above it (what was printed just
    // before it), where the terminal can move its cursor; the next draw
    // comes where the first of them was.
    void eraseRowsAbove(std::size_t rows);
    // Whether eraseRowsAbove can do its work here.
    bool canEraseAbove() const;
    // The terminal's width in columns (80 when it does not say).
    static std::size_t width();

  private:
    bool enabled_;
    std::string shown_;
    std::chrono::steady_clock::time_point last_{};
};

// The terminal rows lines of text take at a width (tabs to every eighth column).
std::size_t rowsOf(const std::string& lines, std::size_t width);

// Erases the line drawn, if one is shown. Safe in a signal handler.
void eraseStatusLine();

// The redraw while playing a range [start, end) of the rendering laid out by
// `timeline`: the frame sounding is start plus the frames the device has
// played (wrapped over the range when it loops).
std::uint64_t soundingFrame(std::uint64_t played, std::uint64_t start, std::uint64_t end,
                            bool loop);
StatusView viewAt(const Timeline& timeline, std::uint64_t frame);

}  // namespace quarvel
