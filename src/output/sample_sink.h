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

#include "output/audio_device.h"
#include "output/frame_sink.h"
#include "output/key_input.h"
#include "output/wave_file.h"

namespace quarvel {

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
