#include "output/sample_sink.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "output/output_error.h"
#include "output/staged_file.h"
#include "output/wave_file.h"

namespace quarvel {
namespace {

// Keys scripted per poll: the n-th poll answers keys[n] (none past the end).
class ScriptedKeys : public KeyInput {
  public:
    explicit ScriptedKeys(std::deque<std::optional<int>> keys) : keys_(std::move(keys)) {}
    std::optional<int> pollKey() override {
        ++polls;
        if (keys_.empty()) return std::nullopt;
        auto key = keys_.front();
        keys_.pop_front();
        return key;
    }
    int polls = 0;

  private:
    std::deque<std::optional<int>> keys_;
};

// A device that plays one queued buffer per service call, in queue order.
struct FakeDevice : AudioDevice {
    struct Log {
        std::vector<int> queued;  // buffer indexes in queue order
        std::vector<int> frames;  // frames of each queue call
        std::vector<int> played;  // buffer indexes played out
        int drops = 0;
        bool closed = false;
    };
    explicit FakeDevice(Log& log) : log_(log) {}
    void queue(int index, const std::uint32_t*, int count) override {
        log_.queued.push_back(index);
        log_.frames.push_back(count);
        busy_.push_back(index);
    }
    void service() override {
        if (busy_.empty()) return;
        log_.played.push_back(busy_.front());
        busy_.pop_front();
    }
    bool isDone(int index) override {
        for (int b : busy_) {
            if (b == index) return false;
        }
        return true;
    }
    void dropAll() override {
        ++log_.drops;
        busy_.clear();
    }
    void close() override { log_.closed = true; }

    Log& log_;
    std::deque<int> busy_;
};

struct PlayingSink {
    explicit PlayingSink(std::deque<std::optional<int>> script)
        : keys(std::move(script)),
          sink(
              {true, false, false, ""}, &this->keys,
              [this] { return std::make_unique<FakeDevice>(log); },
              [this](std::chrono::milliseconds ms) { slept += ms.count(); }) {}
    FakeDevice::Log log;
    ScriptedKeys keys;
    long slept = 0;
    SampleSink sink;
};

// Without a sound device nothing waits: the CRC mode hands buffer 0 back every
// time, and with a WAVE file the renderer fills the file's own rooms in turn.
TEST(SampleSinkFileModes, EveryHandOverReturnsABufferAtOnce) {
    for (const bool wav : {false, true}) {
        const auto path = std::filesystem::temp_directory_path() / "sample_sink_test.wav";
        SampleSink sink({false, wav, !wav, path.string()}, nullptr, nullptr);
        std::uint32_t* buffer = sink.exchangeBuffer(nullptr, 0);
        std::uint32_t* const first = buffer;
        ASSERT_NE(buffer, nullptr);
        for (int i = 0; i < 5; ++i) {
            buffer[0] = 0x00010002u + static_cast<std::uint32_t>(i);
            buffer = sink.exchangeBuffer(buffer, i == 2 ? 0 : 4096);
            ASSERT_NE(buffer, nullptr);
            if (!wav) {
                EXPECT_EQ(buffer, first);
            }
        }
        buffer[6] = 0x01020304;
        buffer = sink.exchangeBuffer(buffer, 7);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(sink.exchangeBuffer(buffer, -1), nullptr);
        if (wav) {
            std::ifstream in(path, std::ios::binary);
            const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
            // Four full buffers and 7 frames; the empty hand-over wrote nothing.
            ASSERT_EQ(bytes.size(), kWaveHeadBytes + 4 * (4 * 4096 + 7));
            const auto head = waveHead(4 * (4 * 4096 + 7));
            EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
            // The third buffer in the file is the one handed over fourth.
            EXPECT_EQ(bytes[kWaveHeadBytes + 4 * 4096 * 2], 0x05);
            EXPECT_EQ(bytes[kWaveHeadBytes + 4 * 4096 * 4 + 4 * 6], 0x04);
            std::filesystem::remove(path);
        }
    }
}

// The progress hook runs at every poll while playing and after every
// hand-over otherwise; the frames handed over count in both.
TEST(SampleSinkHook, RunsAtEveryPollAndCountsTheFrames) {
    for (const bool play : {true, false}) {
        int calls = 0;
        std::optional<PlayingSink> playing;
        std::optional<SampleSink> quiet;
        if (play) {
            playing.emplace(std::deque<std::optional<int>>{});
        } else {
            quiet.emplace(SinkMode{false, false, true, ""}, nullptr, nullptr);
        }
        SampleSink& sink = play ? playing->sink : *quiet;
        sink.setPollHook([&calls] { ++calls; });
        std::uint32_t* buffer = sink.exchangeBuffer(nullptr, 0);
        for (const int frames : {4096, 4096, 4096, 4096, 100})
            buffer = sink.exchangeBuffer(buffer, frames);
        EXPECT_EQ(sink.framesHanded(), 4u * 4096 + 100);
        if (play) {
            // One poll per wait: the fourth and fifth hand-overs found no free buffer.
            EXPECT_EQ(calls, playing->keys.polls);
            EXPECT_GT(calls, 0);
        } else {
            EXPECT_EQ(calls, 5);
            EXPECT_EQ(sink.framesPlayed(), 4u * 4096 + 100);
        }
        sink.exchangeBuffer(buffer, -1);
    }
}

TEST(WaveFile, FailuresCarryStatusFour) {
    try {
        WaveFile file("/nonexistent-folder/tune.wav");
        FAIL() << "created a file in a missing folder";
    } catch (const OutputError& error) {
        EXPECT_EQ(error.status, 4);
        EXPECT_NE(std::string(error.what()).find("/nonexistent-folder/tune.wav"),
                  std::string::npos);
    }
    EXPECT_THROW(WaveFile("/dev/full"), OutputError);
}

// A write that fails after many rooms went through (here: the file size limit)
// surfaces at a later hand-over or at the finish, never as success.
TEST(WaveFile, ALateWriteFailureIsReported) {
    const auto path = std::filesystem::temp_directory_path() / "wave_file_limit_test.wav";
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 1 << 20;
    setrlimit(RLIMIT_FSIZE, &limited);
    std::vector<std::uint32_t> frames(4096, 7);
    bool failed = false;
    try {
        WaveFile file(path.string());
        for (int i = 0; i < 400; ++i) file.write(frames.data(), 16384);
        file.finish();
    } catch (const OutputError& error) {
        failed = true;
        EXPECT_EQ(error.status, 4);
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    std::filesystem::remove(path);
    EXPECT_TRUE(failed);
}

// The one writer leaves nothing of a file it did not put in place: the
// target keeps what it held, and every temporary file of the run goes at once
// when a signal ends it (the targets themselves: tests/cli/test_hardening.py).
TEST(StagedFile, NothingLeftOfAFileNotCommitted) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("staged_file_test." + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const auto hidden = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(dir)) {
            count += entry.path().filename().string()[0] == '.';
        }
        return count;
    };
    writeFileWhole((dir / "new.mid").string(), "MThd", 4);
    {
        StagedFile file((dir / "new.mid").string());
        file.write("half", 4);
        EXPECT_EQ(hidden(), 1);
    }
    std::ifstream in(dir / "new.mid", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "MThd");
    EXPECT_EQ(hidden(), 0);
    StagedFile a((dir / "a.wav").string());
    StagedFile b((dir / "b.mid").string());
    EXPECT_EQ(hidden(), 2);
    removeUnfinishedFiles();  // what the signal handlers call
    EXPECT_EQ(hidden(), 0);
    fs::remove_all(dir);
}

TEST(SampleSinkPlaying, ThreeBuffersRotateAndTheRendererWaitsForTheDevice) {
    PlayingSink p({});
    std::uint32_t* b0 = p.sink.exchangeBuffer(nullptr, 0);
    std::uint32_t* b1 = p.sink.exchangeBuffer(b0, 4096);
    std::uint32_t* b2 = p.sink.exchangeBuffer(b1, 4096);
    EXPECT_EQ(p.slept, 0);  // two buffers still free: no wait
    std::uint32_t* again = p.sink.exchangeBuffer(b2, 4096);
    EXPECT_EQ(again, b0);  // the first one played comes back
    EXPECT_EQ(p.slept, 50);
    EXPECT_NE(b0, b1);
    EXPECT_NE(b1, b2);
    EXPECT_EQ(p.log.queued, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(p.sink.exchangeBuffer(again, 100), b1);
    EXPECT_EQ(p.sink.exchangeBuffer(b1, -1), nullptr);  // waits until all played
    EXPECT_EQ(p.log.played, (std::vector<int>{0, 1, 2, 0}));
    EXPECT_EQ(p.log.frames.back(), 100);
    EXPECT_TRUE(p.log.closed);
    EXPECT_FALSE(p.sink.stoppedBySpace());
}

TEST(SampleSinkPlaying, StopKeysEndTheWaitAtOnce) {
    struct Case {
        int key;
        bool space;
    };
    for (const Case c : {Case{kKeySpace, true}, Case{kKeyEscape, false}}) {
        // An ignored key, then the stop key at the second poll.
        PlayingSink p({std::optional<int>('x'), std::optional<int>(c.key)});
        std::uint32_t* b = p.sink.exchangeBuffer(nullptr, 0);
        b = p.sink.exchangeBuffer(b, 4096);
        b = p.sink.exchangeBuffer(b, 4096);
        // The device plays nothing until polled; the stop comes first at poll 2,
        // after one buffer has played.
        std::uint32_t* afterThird = p.sink.exchangeBuffer(b, 4096);
        ASSERT_NE(afterThird, nullptr);  // poll 1: 'x' ignored, buffer 0 played
        EXPECT_EQ(p.sink.exchangeBuffer(afterThird, 4096), nullptr);  // poll 2: stop
        EXPECT_EQ(p.log.drops, 1);
        EXPECT_TRUE(p.log.closed);
        EXPECT_EQ(p.sink.stoppedBySpace(), c.space);
        EXPECT_EQ(p.keys.polls, 2);
    }
}

TEST(SampleSinkPlaying, TabDropsTheQueueAndPlayingGoesOn) {
    PlayingSink p({std::optional<int>(kKeyTab)});
    std::uint32_t* b = p.sink.exchangeBuffer(nullptr, 0);
    for (int i = 0; i < 3; ++i) b = p.sink.exchangeBuffer(b, 4096);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(p.log.drops, 1);
    // The device played one buffer at the poll, TAB dropped the other two.
    EXPECT_EQ(p.log.played, (std::vector<int>{0}));
    b = p.sink.exchangeBuffer(b, 4096);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(p.sink.exchangeBuffer(b, -1), nullptr);
    EXPECT_FALSE(p.sink.stoppedBySpace());
}

TEST(SampleSinkPlaying, KeysEndTheWaitForTheLastBuffers) {
    for (const int key : {kKeyTab, kKeySpace, kKeyEscape}) {
        PlayingSink p({std::optional<int>('q'), std::optional<int>(key)});
        std::uint32_t* b = p.sink.exchangeBuffer(nullptr, 0);
        b = p.sink.exchangeBuffer(b, 4096);
        b = p.sink.exchangeBuffer(b, 4096);
        EXPECT_EQ(p.sink.exchangeBuffer(b, -1), nullptr);
        // Two polls: the ignored key, then the one that ends the wait with a
        // buffer still unplayed.
        EXPECT_EQ(p.keys.polls, 2);
        EXPECT_EQ(p.log.played.size(), 2u);
        EXPECT_EQ(p.log.drops, 1);
        EXPECT_EQ(p.sink.stoppedBySpace(), key == kKeySpace);
    }
}

TEST(SampleSinkPlaying, ADeviceThatCannotOpenIsStatusFour) {
    SampleSink sink({true, false, false, ""}, nullptr,
                    []() -> std::unique_ptr<AudioDevice> { throw OutputError(4, "no device"); });
    try {
        sink.exchangeBuffer(nullptr, 0);
        FAIL() << "opened without a device";
    } catch (const OutputError& error) {
        EXPECT_EQ(error.status, 4);
    }
}

}  // namespace
}  // namespace quarvel
