#include "output/sample_sink.h"

#include <thread>

#include "output/output_error.h"
#include "synth/sample_format.h"

namespace quarvel {

namespace {

constexpr std::chrono::milliseconds kPollInterval{50};

}  // namespace

SampleSink::SampleSink(SinkMode mode, KeyInput* keys, DeviceOpener openDevice, Sleeper sleep)
    : mode_(std::move(mode)),
      keys_(keys),
      openDevice_(std::move(openDevice)),
      sleep_(sleep ? std::move(sleep) : Sleeper([](std::chrono::milliseconds ms) {
          std::this_thread::sleep_for(ms);
      })) {}

SampleSink::~SampleSink() {
    if (device_) device_->close();
}

std::uint32_t* SampleSink::exchangeBuffer(std::uint32_t* buffer, int frames) {
    if (!sinkOpen_) return open();
    if (closed_) return nullptr;
    if (frames < 0) {
        close();
        return nullptr;
    }
    return handOver(buffer, frames);
}

std::uint32_t* SampleSink::open() {
    if (mode_.writeWav) wave_ = std::make_unique<WaveFile>(mode_.wavPath);
    if (mode_.play) device_ = openDevice_();
    sinkOpen_ = true;
    for (int k = 0; k < kSinkBuffers; ++k) {
        memory_[k].assign(kBufferFrames, 0);
        done_[k] = true;
    }
    if (wave_ && !mode_.play) return lendFileRoom();
    return memory_[0].data();
}

std::uint32_t* SampleSink::lendFileRoom() {
    lentFileRoom_ = reinterpret_cast<std::uint32_t*>(wave_->lend());
    return lentFileRoom_;
}

std::uint32_t* SampleSink::handOver(std::uint32_t* buffer, int frames) {
    if (frames > kBufferFrames) frames = kBufferFrames;
    if (lentFileRoom_ != nullptr && buffer == lentFileRoom_) {
        wave_->commit(kBytesPerFrame * static_cast<std::size_t>(frames));
        framesHanded_ += static_cast<std::uint64_t>(frames);
        if (pollHook_) pollHook_();
        return lendFileRoom();
    }
    for (int k = 0; k < kSinkBuffers; ++k) {
        if (memory_[k].data() != buffer) continue;
        if (frames == 0) {
            done_[k] = true;
            break;
        }
        done_[k] = false;
        framesHanded_ += static_cast<std::uint64_t>(frames);
        if (wave_) wave_->write(buffer, kBytesPerFrame * static_cast<std::size_t>(frames));
        if (mode_.writeWav || mode_.computeCrc) done_[k] = true;
        if (mode_.play) device_->queue(k, buffer, frames);
        break;
    }
    if (!mode_.play && pollHook_) pollHook_();

    // Hold the renderer back until the device has played a buffer.
    if (!anyFree()) {
        const KeyWait wait(keys_);
        while (!anyFree()) {
            const auto key = pollWhileWaiting();
            if (key == kKeySpace || key == kKeyEscape) {
                shutdown();
                return nullptr;
            }
            if (key == kKeyTab) device_->dropAll();
        }
    }
    for (int k = 0; k < kSinkBuffers; ++k) {
        if (done_[k]) return memory_[k].data();
    }
    return nullptr;  // not reached: a buffer is free
}

// Waits until the sound has played out; TAB, space or ESC end the wait at once.
void SampleSink::close() {
    if (device_) device_->finishPlaying();
    if (!allFree()) {
        const KeyWait wait(keys_);
        while (!allFree()) {
            const auto key = pollWhileWaiting();
            if (key == kKeySpace || key == kKeyEscape || key == kKeyTab) break;
        }
    }
    shutdown();
}

void SampleSink::shutdown() {
    closed_ = true;
    lentFileRoom_ = nullptr;
    if (device_) device_->dropAll();
    for (auto& memory : memory_) std::vector<std::uint32_t>().swap(memory);
    if (wave_) {
        auto wave = std::move(wave_);
        wave->finish();
    }
    if (device_) {
        framesPlayed_ = device_->framesPlayed();
        auto device = std::move(device_);
        device->close();
    }
}

std::uint64_t SampleSink::framesPlayed() {
    if (!mode_.play) return framesHanded_;
    if (device_) framesPlayed_ = device_->framesPlayed();
    return framesPlayed_;
}

// One poll of a wait: sleep, let the device take more sound, read a key if
// one is waiting.
std::optional<int> SampleSink::pollWhileWaiting() {
    sleep_(kPollInterval);
    if (device_) device_->service();
    const auto key = keys_ ? keys_->pollKey() : std::nullopt;
    if (key) stopKey_ = *key;
    if (pollHook_) pollHook_();
    return key;
}

bool SampleSink::anyFree() {
    for (int k = 0; k < kSinkBuffers; ++k) {
        if (!done_[k] && device_ && device_->isDone(k)) done_[k] = true;
        if (done_[k]) return true;
    }
    return false;
}

bool SampleSink::allFree() {
    bool all = true;
    for (int k = 0; k < kSinkBuffers; ++k) {
        if (!done_[k] && device_ && device_->isDone(k)) done_[k] = true;
        all = all && done_[k];
    }
    return all;
}

}  // namespace quarvel
