// RIFF WAVE writer: the head of synth/wave_head.h and the samples from offset
// 46. The two chunk sizes are written when the file is finished; every write
// is checked.
//
// The file is written through a StagedFile (output/staged_file.h), whole or
// not at all, with its checks of the target; only where the directory takes
// no new file but the WAVE itself is writable is it written in place.
//
// Samples go through a ring of rooms of 16384 bytes (one renderer buffer
// each) that a writer thread puts on the disk while the renderer fills the
// next ones, so writing a file costs little more than rendering it. Where no
// thread can be started, each room is written as it is committed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "output/staged_file.h"
#include "synth/wave_head.h"

namespace quarvel {

inline constexpr std::size_t kWaveRoomBytes = 16384;

// Throws OutputError (status 4) when a rendering of totalFrames frames cannot
// be described by the 32-bit RIFF sizes (waveFits): known before anything is
// written.
void checkWaveFits(std::uint64_t totalFrames, const std::string& path = {});

class WaveFile {
  public:
    // Opens the file through a StagedFile (with the in-place fallback) and
    // writes its head with sizes 0. Throws OutputError (status 4).
    explicit WaveFile(std::string path);
    ~WaveFile();
    WaveFile(const WaveFile&) = delete;
    WaveFile& operator=(const WaveFile&) = delete;

    // Lends the next room of kWaveRoomBytes, aligned for 32-bit frames;
    // commit() adds its first `used` bytes to the file. Throws OutputError
    // when an earlier room could not be written.
    std::uint8_t* lend();
    void commit(std::size_t used);
    // Copies bytes in through lent rooms.
    void write(const void* bytes, std::size_t length);
    // Writes what is left and the true chunk sizes, closes the file and puts
    // it in place of the old one.
    void finish();

  private:
    void writerLoop();
    int writeRooms(std::uint64_t first, std::uint64_t last);
    void stopWriter();
    int writeAt(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset);
    [[noreturn]] void fail(const std::string& what, int error) const;

    std::string path_;
    std::unique_ptr<StagedFile> file_;
    int fd_ = -1;                  // file_'s descriptor
    std::uint64_t dataBytes_ = 0;  // committed so far
    std::uint8_t* lent_ = nullptr;

    // The ring, shared with the writer thread: room n lives at slot n mod the
    // ring size. Rooms below `committed_` are filled, rooms below `written_`
    // are on the disk and may be lent again.
    struct AlignedDelete {
        void operator()(std::uint8_t* p) const { ::operator delete[](p, std::align_val_t{64}); }
    };
    std::unique_ptr<std::uint8_t[], AlignedDelete> ring_;
    std::vector<std::uint32_t> used_;  // bytes of each slot's room that count
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t committed_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t writtenBytes_ = 0;  // file data bytes the writer has placed
    bool stopping_ = false;
    int writeError_ = 0;  // errno of the first failed write
    bool threaded_ = false;
    std::thread writer_;
};

}  // namespace quarvel
