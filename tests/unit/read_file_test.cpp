// The one reader of the run's inputs, on the kinds of file a user may name.
#include "driver/read_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "compiler/source_reader.h"
#include "output/output_error.h"
#include "output/staged_file.h"

namespace quarvel {
namespace {

namespace fs = std::filesystem;

class ReadFileTest : public testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("read_file_test." + std::to_string(::getpid()) + "." +
                   testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    std::string write(const std::string& name, const std::string& bytes) {
        const fs::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }
    fs::path folder_;
};

TEST_F(ReadFileTest, AnswersTheBytesOrWhyNot) {
    const std::string big(100000, 'Q');
    const std::string odd("I 1 2 3\r\n\xff\x00x", 12);  // any bytes, as stored
    const std::string fifo = (folder_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string name;
        std::string bytes;    // expected when read
        std::string problem;  // expected when not
        std::uint64_t largest = UINT64_MAX;
    };
    const Case cases[] = {
        {write("tune.qvl", odd), odd, ""},
        {write("empty.qvl", ""), "", ""},
        {write("big.qvl", big), big, ""},
        {write("limit.mid", "MThd"), "MThd", "", 4},
        {write("over.mid", "MThd!"), "", "the file is larger than 4 bytes", 4},
        {(folder_ / "missing.qvl").string(), "", std::strerror(ENOENT)},
        {folder_.string(), "", std::strerror(EISDIR)},
        {fifo, "", "not a regular file"},  // refused, never waited on
    };
    for (const Case& c : cases) {
        const InputFile file = readInputFile(c.name, "the score", c.largest);
        EXPECT_EQ(file.problem, c.problem) << c.name;
        EXPECT_EQ(file.read(), c.problem.empty()) << c.name;
        EXPECT_EQ(file.tooLarge, c.largest != UINT64_MAX && !c.problem.empty()) << c.name;
        EXPECT_FALSE(file.outOfMemory);
        EXPECT_EQ(std::string(file.bytes.begin(), file.bytes.end()), c.bytes) << c.name;
    }
}

TEST_F(ReadFileTest, TheEndMarksGoBehindTheBytesWithoutMovingThem) {
    InputFile file = readInputFile(write("tune.qvl", std::string(5000, '1')), "the score");
    ASSERT_TRUE(file.read());
    const std::uint8_t* before = file.bytes.data();
    const SourceText text(std::move(file.bytes));
    EXPECT_EQ(text.bytes().data(), before);
    EXPECT_EQ(text.end(), 5002u);
}

TEST_F(ReadFileTest, NoOutputOfTheRunMayReplaceWhatItRead) {
    const std::string score = write("tune.qvl", "I 1");
    ASSERT_TRUE(readInputFile(score, "the score").read());
    try {
        StagedFile file(score);
        FAIL() << "an output replaced the score";
    } catch (const OutputError& error) {
        EXPECT_NE(std::string(error.what()).find("the score"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace quarvel
