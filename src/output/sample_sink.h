// The sample sink: takes the renderer's buffers and sends them to the sound
// device, to a WAVE file, or nowhere (CRC only). It owns three buffers that
// rotate between the renderer and the device; while playing it holds the
// renderer back until the device gives a buffer back, and reads the stop and
// skip keys while it waits.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "output/render_loop.h"
#include "output/wave_file.h"

namespace quarvel {

inline constexpr int kSinkBuffers = 3;
inline constexpr int kKeySpace = 0x20;
inline constexpr int kKeyEscape = 0x1B;
inline constexpr int kKeyTab = 0x09;
// Multi-byte keys: the cursor keys left and right, and every other sequence.
inline constexpr int kKeyOther = 0x100;
inline constexpr int kKeyLeft = 0x101;
inline constexpr int kKeyRight = 0x102;

// Keys typed while the sink waits. pollKey answers at once: a key code, or
// nullopt when none is waiting. Multi-byte keys (cursor and function keys)
// arrive as one code that is none of space, ESC and TAB.
class KeyInput {
  public:
    virtual ~KeyInput() = default;
    virtual void beginWait() {}
    virtual void endWait() {}
    virtual std::optional<int> pollKey() = 0;
};

// Keys are read (on a terminal: without echo) for as long as this lives.
class KeyWait {
  public:
    explicit KeyWait(KeyInput* keys) : keys_(keys) {
        if (keys_) keys_->beginWait();
    }
    ~KeyWait() {
        if (keys_) keys_->endWait();
    }
    KeyWait(const KeyWait&) = delete;
    KeyWait& operator=(const KeyWait&) = delete;

  private:
    KeyInput* keys_;
};

// A sound device that plays queued buffers in order and tells when each one
// has been played.
class AudioDevice {
  public:
    virtual ~AudioDevice() = default;
    // Queues buffer `index` (0..2) with `frames` frames; the device reads the
    // memory until the buffer is done. Throws OutputError when refused.
    virtual void queue(int index, const std::uint32_t* frames, int count) = 0;
    // Moves queued sound on to the device where it has room; called at every poll.
    virtual void service() = 0;
    virtual bool isDone(int index) = 0;
    // Frames queued since the device was opened that no longer wait to be
    // heard: played, or dropped unplayed. What is sounding now lies right there.
    virtual std::uint64_t framesPlayed() { return 0; }
    // Nothing more will be queued: play out what is queued, however short.
    virtual void finishPlaying() {}
    // Stops the sound at once; every queued buffer counts as done, unplayed.
    virtual void dropAll() = 0;
    virtual void close() = 0;
};

struct SinkMode {
    bool play = false;
    bool writeWav = false;
    bool computeCrc = false;
    std::string wavPath;
};

class SampleSink : public FrameSink {
  public:
    using DeviceOpener = std::function<std::unique_ptr<AudioDevice>()>;
    using Sleeper = std::function<void(std::chrono::milliseconds)>;
    using PollHook = std::function<void()>;

    // keys and openDevice are used only when playing.
    SampleSink(SinkMode mode, KeyInput* keys, DeviceOpener openDevice, Sleeper sleep = {});
    ~SampleSink() override;

    std::uint32_t* exchangeBuffer(std::uint32_t* buffer, int frames) override;

    // The user stopped playback with space: the editor is wanted.
    bool stoppedBySpace() const { return stopKey_ == kKeySpace; }

    // Called at every poll of a wait and, in the file and CRC modes (which
    // never wait), after every hand-over: the place to show progress.
    void setPollHook(PollHook hook) { pollHook_ = std::move(hook); }
    // Frames handed over so far (the frames of every hand-over, since open).
    std::uint64_t framesHanded() const { return framesHanded_; }
    // Of those, the frames no longer waiting to be heard: while playing, what
    // the device has played or dropped; otherwise every frame handed over.
    std::uint64_t framesPlayed();

  private:
    std::uint32_t* open();
    std::uint32_t* lendFileRoom();
    std::uint32_t* handOver(std::uint32_t* buffer, int frames);
    void close();
    void shutdown();
    std::optional<int> pollWhileWaiting();
    bool anyFree();
    bool allFree();

    SinkMode mode_;
    KeyInput* keys_;
    DeviceOpener openDevice_;
    Sleeper sleep_;
    std::unique_ptr<AudioDevice> device_;
    std::unique_ptr<WaveFile> wave_;
    std::array<std::vector<std::uint32_t>, kSinkBuffers> memory_;
    std::array<bool, kSinkBuffers> done_{};
    // With a WAVE file and no sound device the renderer fills room lent inside
    // the file's own blocks instead of buffer 0: every sample is copied once
    // less.
    std::uint32_t* lentFileRoom_ = nullptr;
    PollHook pollHook_;
    std::uint64_t framesHanded_ = 0;
    std::uint64_t framesPlayed_ = 0;  // the device's count, kept past its close
    bool sinkOpen_ = false;
    bool closed_ = false;
    int stopKey_ = 0;
};

}  // namespace quarvel
