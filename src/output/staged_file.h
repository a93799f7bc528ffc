// A file that appears whole or not at all: written under a hidden temporary
// name in the directory of its final name, then renamed over it. Until then
// the final name keeps whatever it held before; a writer that fails or gives
// up leaves nothing behind.
#pragma once

#include <string>

namespace quarvel {

class StagedFile {
  public:
    // Creates the temporary file. Throws OutputError (status 4) with the
    // operating system's reason.
    explicit StagedFile(std::string path);
    ~StagedFile();  // removes the temporary file unless committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Writes all the bytes at the current offset; throws OutputError.
    void write(const void* bytes, std::size_t length);
    // Puts the file in place under its final name; throws OutputError.
    void commit();
    // Throws OutputError for the final name with `what` and errno `error`.
    [[noreturn]] void fail(const std::string& what, int error) const;

  private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
};

// Writes the whole file through a StagedFile.
void writeFileWhole(const std::string& path, const void* bytes, std::size_t length);

// Writes all the bytes to a descriptor; answers 0 or the errno of the failure.
int writeAll(int fd, const void* bytes, std::size_t length);

}  // namespace quarvel
