#include "driver/status_line.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace quarvel {

namespace {

// Whether a line stands on the terminal now; read by a signal handler.
volatile sig_atomic_t lineShown = 0;

constexpr char kErase[] = "\r\x1b[K";

void writeAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n <= 0) return;  // a status line is not worth a failure
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// The first `columns` characters of a UTF-8 text.
std::string cutToColumns(const std::string& text, std::size_t columns) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80) {
            if (seen == columns) return text.substr(0, i);
            ++seen;
        }
    }
    return text;
}

}  // namespace

std::size_t columnsOf(const std::string& text) {
    std::size_t columns = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++columns;
    }
    return columns;
}

std::string formatClock(std::uint64_t frames) {
    const std::uint64_t seconds = frames / kFrameRate;
    std::string second = std::to_string(seconds % 60);
    if (second.size() < 2) second.insert(0, "0");
    return std::to_string(seconds / 60) + ":" + second;
}

std::string formatStatus(const StatusView& view, std::size_t width) {
    const std::size_t room = width > 1 ? width - 1 : 0;
    std::string place;
    if (view.partNumber != 0) place = "part " + std::to_string(view.partNumber) + " \u00b7 ";
    place += "bar " + (view.bar ? std::to_string(*view.bar) : std::string("-"));
    const std::string time = formatClock(view.frame) + " / " + formatClock(view.totalFrames);
    // Pieces in order of showing; dropped from the least needed on.
    struct Piece {
        std::string text;
        int rank;  // dropped in decreasing rank
    };
    std::vector<Piece> pieces{{view.name, 2}, {place, 0}, {time, 0}};
    if (!view.note.empty()) pieces.push_back({view.note, 1});
    if (!view.keys.empty()) pieces.push_back({view.keys, 3});
    const auto join = [&pieces] {
        std::string line;
        for (const Piece& piece : pieces) {
            if (piece.text.empty()) continue;
            if (!line.empty()) line += "  ";
            line += piece.text;
        }
        return line;
    };
    for (int rank = 3; rank > 0 && columnsOf(join()) > room; --rank) {
        for (Piece& piece : pieces) {
            if (piece.rank == rank) piece.text.clear();
        }
    }
    return cutToColumns(join(), room);
}

std::string formatProgress(const std::string& name, std::uint64_t done, std::uint64_t total,
                           std::size_t width) {
    const std::uint64_t percent =
        total == 0 ? 100 : std::min<std::uint64_t>(100, done * 100 / total);
    std::string tail = std::to_string(percent) + "%";
    tail.insert(0, 4 - tail.size(), ' ');
    const std::size_t room = width > 1 ? width - 1 : 0;
    // The bar takes what the name and the percentage leave, 10 to 40 columns.
    const std::size_t fixed = columnsOf(name) + 2 + 2 + 1 + tail.size();
    const std::size_t bar = room > fixed + 10 ? std::min<std::size_t>(40, room - fixed) : 10;
    const auto filled = static_cast<std::size_t>(bar * percent / 100);
    const std::string line =
        name + "  [" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " + tail;
    return cutToColumns(line, room);
}

std::uint64_t soundingFrame(std::uint64_t played, std::uint64_t start, std::uint64_t end,
                            bool loop) {
    if (end <= start) return start;
    const std::uint64_t length = end - start;
    if (loop) return start + played % length;
    return start + std::min(played, length - 1);
}

StatusView viewAt(const Timeline& timeline, std::uint64_t frame) {
    StatusView view;
    view.frame = frame;
    view.totalFrames = timeline.totalFrames();
    if (const auto position = timeline.at(frame)) {
        view.partNumber = position->partNumber;
        if (position->bar) view.bar = *position->bar + 1;
    }
    return view;
}

StatusLine::StatusLine(bool force) : enabled_(force || isatty(STDERR_FILENO) == 1) {}

StatusLine::~StatusLine() {
    erase();
}

bool StatusLine::due() const {
    return enabled_ && std::chrono::steady_clock::now() - last_ >= std::chrono::milliseconds(100);
}

void StatusLine::draw(const std::string& text) {
    if (!enabled_) return;
    last_ = std::chrono::steady_clock::now();
    if (lineShown && text == shown_) return;
    const std::string out = "\r" + text + "\x1b[K";
    writeAll(out.data(), out.size());
    shown_ = text;
    lineShown = 1;
}

void StatusLine::erase() {
    if (!enabled_) return;
    eraseStatusLine();
    shown_.clear();
}

std::size_t StatusLine::width() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void eraseStatusLine() {
    if (!lineShown) return;
    lineShown = 0;
    (void)!::write(STDERR_FILENO, kErase, sizeof kErase - 1);
}

}  // namespace quarvel
