// Playing a document on the sound device from a bar, as `--from LINE:COL`
// does, on a thread of its own, with a notification each time another bar
// starts sounding; and exporting the score file beside itself through the
// program, as its own options do.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "compiler/score_compiler.h"

namespace quarvel::lsp {

class Playback {
  public:
    // notify sends a notification (method, params); it is called from the
    // playing thread.
    using Notify = std::function<void(const std::string&, const nlohmann::json&)>;
    explicit Playback(Notify notify) : notify_(std::move(notify)) {}
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    // Stops what plays and starts the text of `uri` from the bar at the byte
    // offset (the bar under it, or the first after it). Answers "" or why it
    // cannot play (the score does not compile, no bar there).
    std::string play(const std::string& uri, const std::string& text, Dialect dialect,
                     std::size_t offset);
    // Stops the sound at once; true when something was playing.
    bool stop();

  private:
    Notify notify_;
    std::thread thread_;
    std::atomic<bool> stopWanted_{false};
    std::atomic<bool> playing_{false};
};

// Runs this program on the score file with the arguments and answers its
// exit status and everything it printed. `program` is the path of the
// running executable.
struct ProgramRun {
    int status = -1;
    std::string output;
};
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace quarvel::lsp
