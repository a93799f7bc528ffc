#include "driver/status_line.h"

#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "compiler/utf8.h"
#include "driver/messages.h"

namespace quarvel {

namespace {

// Whether a line stands on the terminal now, and how many columns it takes;
// read by a signal handler.
volatile sig_atomic_t lineShown = 0;
volatile sig_atomic_t shownColumns = 0;
volatile sig_atomic_t dumbTerminal = 0;  // no ESC [ K: erased with blanks

constexpr char kErase[] = "\r\x1b[K";

void writeAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n <= 0) return;  // a status line is not worth a failure
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// The terminal's locale (the character type only).
struct TerminalLocale {
    locale_t locale = nullptr;
    bool utf8 = false;
    bool ascii = true;  // no character past 0x7F

    void use(const char* name) {
        locale_t made = newlocale(LC_CTYPE_MASK, name, nullptr);
        if (made == nullptr) made = newlocale(LC_CTYPE_MASK, "C", nullptr);
        if (locale != nullptr) freelocale(locale);
        locale = made;
        const char* codeset = locale != nullptr ? nl_langinfo_l(CODESET, locale) : "";
        utf8 = std::strcmp(codeset, "UTF-8") == 0;
        ascii = std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "ASCII") == 0 ||
                codeset[0] == '\0';
    }
};

TerminalLocale& terminalLocale() {
    static TerminalLocale current = [] {
        TerminalLocale fromEnvironment;
        fromEnvironment.use("");
        return fromEnvironment;
    }();
    return current;
}

// Runs with the terminal's locale as this thread's.
class InTerminalLocale {
  public:
    InTerminalLocale() {
        const locale_t locale = terminalLocale().locale;
        if (locale != nullptr) old_ = uselocale(locale);
    }
    ~InTerminalLocale() {
        if (old_ != nullptr) uselocale(old_);
    }
    InTerminalLocale(const InTerminalLocale&) = delete;
    InTerminalLocale& operator=(const InTerminalLocale&) = delete;

  private:
    locale_t old_ = nullptr;
};

// Steps through a text character by character as the locale reads it;
// a byte it cannot read is one column.
template <typename Visit>
void eachCharacter(const std::string& text, Visit visit) {
    const InTerminalLocale inLocale;
    std::mbstate_t state{};
    for (std::size_t i = 0; i < text.size();) {
        wchar_t wide = 0;
        std::size_t length = std::mbrtowc(&wide, text.data() + i, text.size() - i, &state);
        int columns = 1;
        if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
            length = 1;
            state = std::mbstate_t{};
        } else {
            if (length == 0) length = 1;
            const int width = ::wcwidth(wide);
            columns = width < 0 ? 1 : width;
        }
        if (!visit(i, length, static_cast<std::size_t>(columns))) return;
        i += length;
    }
}

// The start of a text that fits in `columns`, never cutting a character.
std::string cutToColumns(const std::string& text, std::size_t columns) {
    std::size_t seen = 0;
    std::size_t keep = text.size();
    eachCharacter(text, [&](std::size_t at, std::size_t, std::size_t width) {
        if (seen + width > columns) {
            keep = at;
            return false;
        }
        seen += width;
        return true;
    });
    return text.substr(0, keep);
}

// ASCII for the signs the line uses, where the locale has no better.
const char* asciiFor(char32_t code) {
    switch (code) {
        case U'\u00b7':
            return "-";
        case U'\u2190':
            return "<";
        case U'\u2192':
            return ">";
        default:
            return "?";
    }
}

}  // namespace

void useStatusLocale(const char* name) {
    terminalLocale().use(name);
}

std::size_t columnsOf(const std::string& text) {
    std::size_t columns = 0;
    eachCharacter(text, [&](std::size_t, std::size_t, std::size_t width) {
        columns += width;
        return true;
    });
    return columns;
}

std::string localeText(const std::string& utf8) {
    const TerminalLocale& terminal = terminalLocale();
    if (terminal.utf8) return utf8;
    const InTerminalLocale inLocale;
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const Utf8Char one = decodeUtf8(utf8, i);
        const char32_t code = one.length != 0 ? one.code : U'\ufffd';
        i += std::max<std::size_t>(one.length, 1);
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
            continue;
        }
        char bytes[MB_LEN_MAX];
        std::mbstate_t state{};
        const std::size_t n = terminal.ascii
                                  ? static_cast<std::size_t>(-1)
                                  : std::wcrtomb(bytes, static_cast<wchar_t>(code), &state);
        if (n == static_cast<std::size_t>(-1)) {
            out += asciiFor(code);
        } else {
            out.append(bytes, n);
        }
    }
    return out;
}

std::string formatClock(std::uint64_t frames) {
    // Rounded to the hundredth; 59.996 s is "1:00.00", never "0:60.00".
    const std::uint64_t hundredths = (frames * 100 + kFrameRate / 2) / kFrameRate;
    const std::uint64_t seconds = hundredths / 100 % 60;
    const std::uint64_t fraction = hundredths % 100;
    return std::to_string(hundredths / 6000) + ":" + (seconds < 10 ? "0" : "") +
           std::to_string(seconds) + "." + (fraction < 10 ? "0" : "") + std::to_string(fraction);
}

std::string formatStatus(const StatusView& view, std::size_t width) {
    const std::size_t room = width > 1 ? width - 1 : 0;
    std::string place;
    if (view.partNumber != 0) {
        static const char kHex[] = "0123456789ABCDEF";
        place = std::string("part ") + kHex[(view.partNumber >> 4) & 15] +
                kHex[view.partNumber & 15] + " \u00b7 ";
    }
    place += "bar " + (view.bar ? std::to_string(*view.bar) : std::string("-"));
    const std::string time = formatClock(view.frame) + " / " + formatClock(view.totalFrames);
    // Pieces in order of showing; dropped from the least needed on.
    struct Piece {
        std::string text;
        int rank;  // dropped in decreasing rank
    };
    std::vector<Piece> pieces{{inert(view.name), 2}, {localeText(place), 0}, {time, 0}};
    if (!view.note.empty()) pieces.push_back({localeText(view.note), 1});
    if (!view.keys.empty()) pieces.push_back({localeText(view.keys), 3});
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

std::string formatProgress(const std::string& fileName, std::uint64_t done, std::uint64_t total,
                           std::size_t width) {
    const std::string name = inert(fileName);
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
        view.partNumber = position->soundingPartNumber;
        if (position->bar) view.bar = *position->bar + 1;
    }
    return view;
}

StatusLine::StatusLine(bool force) : enabled_(force || isatty(STDERR_FILENO) == 1) {
    const char* term = std::getenv("TERM");
    dumbTerminal = term != nullptr && std::strcmp(term, "dumb") == 0 ? 1 : 0;
}

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
    const std::size_t columns = columnsOf(text);
    std::string out = "\r" + text;
    if (!dumbTerminal) {
        out += "\x1b[K";
    } else if (lineShown && static_cast<std::size_t>(shownColumns) > columns) {
        // Blanks over what the longer line left, and back.
        out += std::string(static_cast<std::size_t>(shownColumns) - columns, ' ') + "\r" + text;
    }
    shownColumns = static_cast<sig_atomic_t>(columns);
    writeAll(out.data(), out.size());
    shown_ = text;
    lineShown = 1;
}

void StatusLine::erase() {
    if (!enabled_) return;
    eraseStatusLine();
    shown_.clear();
}

bool StatusLine::canEraseAbove() const {
    return enabled_ && !dumbTerminal;
}

void StatusLine::eraseRowsAbove(std::size_t rows) {
    if (!canEraseAbove()) return;
    eraseStatusLine();
    shown_.clear();
    if (rows == 0) return;
    // Up to the first of the rows, then everything below goes.
    const std::string out = "\r\x1b[" + std::to_string(rows) + "A\x1b[J";
    writeAll(out.data(), out.size());
}

std::size_t rowsOf(const std::string& lines, std::size_t width) {
    if (width == 0) width = 1;
    std::size_t rows = 0;
    for (std::size_t start = 0; start < lines.size();) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        std::size_t columns = 0;
        std::size_t from = start;
        for (std::size_t tab = lines.find('\t', from); tab < end; tab = lines.find('\t', from)) {
            columns += columnsOf(lines.substr(from, tab - from));
            columns = (columns / 8 + 1) * 8;
            from = tab + 1;
        }
        columns += columnsOf(lines.substr(from, end - from));
        rows += columns == 0 ? 1 : (columns + width - 1) / width;
        start = end + 1;
    }
    return rows;
}

std::size_t StatusLine::width() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void eraseStatusLine() {
    if (!lineShown) return;
    lineShown = 0;
    if (!dumbTerminal) {
        (void)!::write(STDERR_FILENO, kErase, sizeof kErase - 1);
        return;
    }
    static const char kBlanks[] = "\r                                ";
    (void)!::write(STDERR_FILENO, kBlanks, 1);
    for (auto left = static_cast<std::size_t>(shownColumns); left > 0;) {
        const std::size_t n = std::min(left, sizeof kBlanks - 2);
        (void)!::write(STDERR_FILENO, kBlanks + 1, n);
        left -= n;
    }
    (void)!::write(STDERR_FILENO, kBlanks, 1);
}

}  // namespace quarvel
