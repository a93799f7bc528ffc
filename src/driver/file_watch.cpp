#include "driver/file_watch.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace quarvel {

namespace {

using Clock = FileWatch::Clock;

// How long the file must stay quiet before it is read: a save that closed
// the file or renamed it into place is complete; a plain write may go on.
constexpr std::chrono::milliseconds kAfterSave{3};
constexpr std::chrono::milliseconds kAfterWrite{30};
// How often a folder that went is looked for again.
constexpr std::chrono::milliseconds kRetryLost{100};

}  // namespace

FileWatch::FileWatch(const std::string& path) : path_(path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        error_ = std::strerror(errno);
        return;
    }
    if (!watchAll()) error_ = std::strerror(errno);
}

FileWatch::~FileWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void FileWatch::sleep(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        drain();
        const auto now = Clock::now();
        if (due(now) || now >= end) return;
        auto until = end;
        if (dueAt_) until = std::min(until, *dueAt_);
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        struct pollfd fd {
            fd_, POLLIN, 0
        };
        ::poll(&fd, 1, static_cast<int>(std::max<long long>(ms, 0)));
    }
}

bool FileWatch::takeSave() {
    drain();
    if (!due(Clock::now())) return false;
    dueAt_.reset();
    watchAll();  // a link may lead elsewhere now
    return true;
}

// The folder and the names to watch in it: the score's, then those of
// the files its links lead to.
std::vector<std::pair<std::string, std::string>> FileWatch::places() const {
    std::vector<std::pair<std::string, std::string>> out;
    std::string at = path_;
    for (int hop = 0; hop < 40; ++hop) {
        const std::filesystem::path file(at);
        out.emplace_back(file.parent_path().empty() ? "." : file.parent_path().string(),
                         file.filename().string());
        std::error_code failed;
        if (!std::filesystem::is_symlink(file, failed)) break;
        const std::filesystem::path link = std::filesystem::read_symlink(file, failed);
        if (failed) break;
        at = (link.is_absolute() ? link : file.parent_path() / link).string();
    }
    return out;
}

// Watches the folders of places() as they are now; false when the
// score's own folder cannot be watched.
bool FileWatch::watchAll() {
    constexpr std::uint32_t kMask =
        IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF;
    const auto wanted = places();
    std::vector<Watched> next;
    bool scoreFolder = false;
    int failure = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const int descriptor = inotify_add_watch(fd_, wanted[i].first.c_str(), kMask);
        if (descriptor < 0) {
            if (i == 0) failure = errno;
            continue;
        }
        next.push_back({descriptor, wanted[i].second, i == 0});
        if (i == 0) scoreFolder = true;
    }
    // Folders no longer on the way are left (the same folder keeps its
    // descriptor: inotify answers the one it has).
    for (const Watched& old : watched_) {
        const bool kept = std::any_of(next.begin(), next.end(), [&](const Watched& w) {
            return w.descriptor == old.descriptor;
        });
        if (!kept) inotify_rm_watch(fd_, old.descriptor);
    }
    missing_ = next.size() < wanted.size();
    watched_ = std::move(next);
    lost_ = !scoreFolder;
    errno = failure;
    return scoreFolder;
}

void FileWatch::drain() {
    if (missing_ && Clock::now() >= retryAt_) {
        // Looks for the folders that went again, a few times a second;
        // the score is read when one is back.
        retryAt_ = Clock::now() + kRetryLost;
        const bool wasLost = lost_;
        const std::size_t before = watched_.size();
        watchAll();
        if ((wasLost && !lost_) || watched_.size() > before) {
            dueAt_ = Clock::now() + kAfterSave;
        }
    }
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            handle(*event);
        }
    }
}

void FileWatch::handle(const inotify_event& event) {
    if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
        // A folder on the way went: look for it by its name again.
        const bool score = std::any_of(watched_.begin(), watched_.end(), [&](const Watched& w) {
            return w.descriptor == event.wd && w.score;
        });
        std::erase_if(watched_, [&](const Watched& w) { return w.descriptor == event.wd; });
        inotify_rm_watch(fd_, event.wd);
        lost_ = lost_ || score;
        missing_ = true;
        retryAt_ = Clock::now() + kRetryLost;
        if (!score) dueAt_ = Clock::now() + kAfterSave;  // the link's file went with it
        return;
    }
    if ((event.mask & IN_Q_OVERFLOW) != 0) dueAt_ = Clock::now() + kAfterWrite;
    if (event.len == 0) return;
    for (const Watched& w : watched_) {
        if (w.descriptor != event.wd || w.name != event.name) continue;
        const bool saved = (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0;
        dueAt_ = Clock::now() + (saved ? kAfterSave : kAfterWrite);
        return;
    }
}

}  // namespace quarvel
