// One line at the foot of the terminal, on standard error, redrawn in place
// while the program plays (where the music is) or writes (how far it got).
// Nothing of it is drawn when standard error is not a terminal; standard
// output is never touched. The line is erased before anything else is
// printed, before the editor starts and before the program ends.
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
    std::string name;                // the score's file name
    int partNumber = 0;              // shown when not 0
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

// Minutes and seconds: "0:07", "12:30".
std::string formatClock(std::uint64_t frames);

// Columns a UTF-8 text takes (one per character).
std::size_t columnsOf(const std::string& text);

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
    // The terminal's width in columns (80 when it does not say).
    static std::size_t width();

  private:
    bool enabled_;
    std::string shown_;
    std::chrono::steady_clock::time_point last_{};
};

// Erases the line drawn, if one is shown. Safe in a signal handler.
void eraseStatusLine();

// The redraw while playing a range [start, end) of the rendering laid out by
// `timeline`: the frame sounding is start plus the frames the device has
// played (wrapped over the range when it loops).
std::uint64_t soundingFrame(std::uint64_t played, std::uint64_t start, std::uint64_t end,
                            bool loop);
StatusView viewAt(const Timeline& timeline, std::uint64_t frame);

}  // namespace quarvel
