// The sound device: what the sample sink asks of one, and the ALSA PCM
// (stereo, 16-bit, 44100 Hz) the program plays through.
#pragma once

#include <cstdint>
#include <memory>

namespace quarvel {

// The buffers that rotate between the renderer and the device.
inline constexpr int kSinkBuffers = 3;

// A sound device that plays queued buffers in order and tells when each one
// has been played.
class AudioDevice {
  public:
    virtual ~AudioDevice() = default;
    // Queues buffer `index` (0..kSinkBuffers-1) with `frames` frames; the device reads the
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

// Opens the PCM named by $QUARVEL_DEVICE ("default" when unset). Throws
// OutputError (status 4) with ALSA's reason when it cannot be opened.
std::unique_ptr<AudioDevice> openAlsaDevice();

}  // namespace quarvel
