// The watch over the score file in watch mode: its folder under inotify, so
// that every way of saving is seen (writing in place, truncating and
// writing, a new file renamed into place). When the score is a symbolic
// link, the folder of every file on the way to the one it leads to is
// watched as well. When the score's folder is removed or renamed, the watch
// says so and looks for the folder by its name until it is back, then
// counts that as a save.
#pragma once

#include <sys/inotify.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarvel {

class FileWatch {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FileWatch(const std::string& path);
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Why the watch could not be set up; empty when it was.
    const std::string& error() const { return error_; }
    // Whether the score's folder is gone (removed, or renamed away).
    bool folderLost() const { return lost_; }

    // Sleeps up to `limit`, less when a save of the score is due sooner.
    void sleep(std::chrono::milliseconds limit);

    // True once, when the score was saved and has settled since.
    bool takeSave();

  private:
    struct Watched {
        int descriptor;
        std::string name;
        bool score;  // the score's own folder
    };

    bool due(Clock::time_point now) const { return dueAt_ && now >= *dueAt_; }
    std::vector<std::pair<std::string, std::string>> places() const;
    bool watchAll();
    void drain();
    void handle(const inotify_event& event);

    int fd_ = -1;
    std::string path_;
    std::vector<Watched> watched_;
    bool lost_ = false;     // the score's folder is not watched
    bool missing_ = false;  // a folder on the way is not watched
    Clock::time_point retryAt_{};
    std::string error_;
    std::optional<Clock::time_point> dueAt_;
};

}  // namespace quarvel
