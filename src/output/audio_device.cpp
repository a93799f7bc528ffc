#include "output/audio_device.h"

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "output/output_error.h"
#include "synth/sample_format.h"

namespace quarvel {

namespace {

// A sound library call that does not come back (a sound server that died can
// leave its client library waiting for ever) raises SIGALRM after this long;
// the program installs what happens then (a clean exit with status 4).
constexpr unsigned kCallLimitSeconds = 5;

struct CallWatch {
    CallWatch() : outer_(alarm(kCallLimitSeconds)) {}
    ~CallWatch() { alarm(outer_); }  // a watch around this one goes on
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;

  private:
    unsigned outer_;
};

// About three buffers of sound, the most the sink ever has queued.
constexpr unsigned kLatencyMicroseconds = 279000;

class AlsaDevice : public AudioDevice {
  public:
    AlsaDevice(snd_pcm_t* pcm, std::string name) : pcm_(pcm), name_(std::move(name)) {}
    ~AlsaDevice() override { close(); }

    void queue(int index, const std::uint32_t* frames, int count) override {
        const CallWatch watch;
        Pending& p = pending_[index];
        p = Pending{frames, count, 0, queuedFrames_ + static_cast<std::uint64_t>(count), true};
        queuedFrames_ += static_cast<std::uint64_t>(count);
        handedFrames_ += static_cast<std::uint64_t>(count);
        order_[orderCount_++ % kSinkBuffers] = index;
        lastProgress_ = std::chrono::steady_clock::now();  // the watch starts from new sound
        service();
    }

    void finishPlaying() override {
        const CallWatch watch;
        finishing_ = true;
        service();
    }

    // Writes what the device takes now; the rest waits for the next poll.
    // Once everything is written and no more will come, the device is told
    // to drain: sound devices play only whole periods until then.
    void service() override {
        const CallWatch watch;
        for (int n = 0; n < kSinkBuffers; ++n) {
            Pending& p = pending_[order_[(orderCount_ + n) % kSinkBuffers]];
            if (!p.active) continue;
            while (p.written < p.frames) {
                const snd_pcm_sframes_t r = snd_pcm_writei(
                    pcm_, p.data + p.written, static_cast<snd_pcm_uframes_t>(p.frames - p.written));
                if (r >= 0) {
                    p.written += static_cast<int>(r);
                    writtenFrames_ += static_cast<std::uint64_t>(r);
                    continue;
                }
                if (r == -EAGAIN) return;
                if (r == -EPIPE || r == -ESTRPIPE) {
                    if (snd_pcm_recover(pcm_, static_cast<int>(r), 1) == 0) continue;
                }
                fail("the sound device refused a buffer", static_cast<int>(r));
            }
        }
        if (finishing_ && !draining_) {
            const int r = snd_pcm_drain(pcm_);  // non-blocking: goes on in the background
            if (r < 0 && r != -EAGAIN) fail("the sound device cannot play out", r);
            draining_ = true;
        }
    }

    bool isDone(int index) override {
        const CallWatch watch;
        const Pending& p = pending_[index];
        if (!p.active) return true;
        if (p.written < p.frames) return false;
        if (draining_ && snd_pcm_state(pcm_) != SND_PCM_STATE_DRAINING) return true;
        return p.endFrame <= trackPlayed();
    }

    // Everything handed over less what still waits: not yet written to the
    // PCM, or written and still in its delay. Dropped frames count as past.
    std::uint64_t framesPlayed() override {
        if (pcm_ == nullptr) return handedFrames_;
        const CallWatch watch;
        std::uint64_t waiting = 0;
        for (const Pending& p : pending_) {
            if (p.active && p.written < p.frames)
                waiting += static_cast<std::uint64_t>(p.frames - p.written);
        }
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) delay = 0;
        waiting += std::min(static_cast<std::uint64_t>(delay), writtenFrames_);
        return handedFrames_ - std::min(waiting, handedFrames_);
    }

    void dropAll() override {
        const CallWatch watch;
        if (pcm_ == nullptr) return;
        snd_pcm_drop(pcm_);
        snd_pcm_prepare(pcm_);
        draining_ = false;
        for (auto& p : pending_) p.active = false;
        // Frames dropped unplayed no longer count as written.
        queuedFrames_ = 0;
        writtenFrames_ = 0;
        lastPlayed_ = 0;
        lastProgress_ = std::chrono::steady_clock::now();
    }

    void close() override {
        const CallWatch watch;
        if (pcm_ == nullptr) return;
        snd_pcm_drop(pcm_);
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }

  private:
    // Frames of sound the device has played, and a watch over it: a device
    // that plays nothing for kStallLimit while it has sound to play has gone
    // (a sound server that died, a device unplugged).
    std::uint64_t trackPlayed() {
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm_);  // brings the position up to date
        if (avail == -EPIPE || avail == -ESTRPIPE) {
            // The device ran dry (or was suspended): all written sound is out.
            if (snd_pcm_recover(pcm_, static_cast<int>(avail), 1) < 0) {
                fail("the sound device stopped", static_cast<int>(avail));
            }
            noteProgress(writtenFrames_);
            return writtenFrames_;
        }
        if (avail < 0) fail("the sound device stopped", static_cast<int>(avail));
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) delay = 0;
        const auto pendingFrames = static_cast<std::uint64_t>(delay);
        const std::uint64_t played =
            writtenFrames_ - (pendingFrames > writtenFrames_ ? writtenFrames_ : pendingFrames);
        noteProgress(played);
        return played;
    }

    void noteProgress(std::uint64_t played) {
        const auto now = std::chrono::steady_clock::now();
        if (played != lastPlayed_ || played >= writtenFrames_) {
            lastPlayed_ = played;
            lastProgress_ = now;
        } else if (now - lastProgress_ > kStallLimit) {
            fail("the sound device stopped playing", -EIO);
        }
    }

    static constexpr std::chrono::seconds kStallLimit{3};

    struct Pending {
        const std::uint32_t* data = nullptr;
        int frames = 0;
        int written = 0;
        std::uint64_t endFrame = 0;  // frames queued up to and including this buffer
        bool active = false;
    };

    [[noreturn]] void fail(const std::string& what, int error) const {
        throw OutputError(ExitStatus::outputFailure,
                          what + " (" + name_ + "): " + snd_strerror(error));
    }

    snd_pcm_t* pcm_;
    std::string name_;
    std::array<Pending, kSinkBuffers> pending_{};
    std::array<int, kSinkBuffers> order_{};  // buffers in the order they were queued
    unsigned orderCount_ = 0;
    std::uint64_t queuedFrames_ = 0;
    std::uint64_t writtenFrames_ = 0;
    std::uint64_t handedFrames_ = 0;  // since open; never set back
    bool finishing_ = false;
    bool draining_ = false;
    std::uint64_t lastPlayed_ = 0;
    std::chrono::steady_clock::time_point lastProgress_ = std::chrono::steady_clock::now();
};

}  // namespace

namespace {

// ALSA reports its faults through our diagnostics; its own printing is off.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

std::unique_ptr<AudioDevice> openAlsaDevice() {
    const CallWatch watch;
    snd_lib_error_set_handler(quietAlsa);
    // A sound server's client library inside the device plugin prints its
    // own log lines on standard error; off unless the user asks for them.
    setenv("PIPEWIRE_DEBUG", "0", 0);
    const char* configured = std::getenv("QUARVEL_DEVICE");
    const std::string name = configured != nullptr && *configured != '\0' ? configured : "default";
    const auto fail = [&name](int error) -> OutputError {
        return OutputError(ExitStatus::outputFailure, "cannot open sound device '" + name +
                                                          "': " + snd_strerror(error) +
                                                          " (use -w to write a WAVE file instead)");
    };
    snd_pcm_t* pcm = nullptr;
    int r = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (r < 0) throw fail(r);
    auto device = std::make_unique<AlsaDevice>(pcm, name);
    r = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, kChannels,
                           kFrameRate, 1, kLatencyMicroseconds);
    if (r < 0) throw fail(r);
    // Start with the first frame, or a sound shorter than the device buffer
    // would never start.
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    r = snd_pcm_sw_params_current(pcm, sw);
    if (r >= 0) r = snd_pcm_sw_params_set_start_threshold(pcm, sw, 1);
    if (r >= 0) r = snd_pcm_sw_params(pcm, sw);
    if (r < 0) throw fail(r);
    return device;
}

}  // namespace quarvel
