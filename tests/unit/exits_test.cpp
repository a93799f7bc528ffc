// The last resort for a failure no part of the run caught: what it says and
// the status it ends with, for every kind of exception that can arrive.
#include "driver/exits.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

namespace quarvel {
namespace {

struct StrayCase {
    std::exception_ptr error;
    int status;
    const char* said;  // a regular expression over standard error
};

TEST(ExitsDeathTest, AStrayExceptionEndsWithItsReasonAndStatus) {
    const StrayCase cases[] = {
        {std::make_exception_ptr(std::bad_alloc()), ExitStatus::noMemory,
         "^quarvelcd: out of memory\n$"},
        {std::make_exception_ptr(std::length_error("vector")), ExitStatus::noMemory,
         "^quarvelcd: out of memory\n$"},
        {std::make_exception_ptr(std::runtime_error("disk\x1b[2J gone")), ExitStatus::outputFailure,
         "^quarvelcd: unexpected failure: disk\\^\\[\\[2J gone\n$"},
        {std::make_exception_ptr(7), ExitStatus::outputFailure,
         "^quarvelcd: unexpected failure: unknown\n$"},
    };
    for (const StrayCase& c : cases) {
        EXPECT_EXIT(exitOnStrayException(c.error), testing::ExitedWithCode(c.status), c.said);
    }
}

TEST(ExitsDeathTest, TheExitLineNamesTheScoreOnTheResultStream) {
    RunOptions options;
    options.sourcePath = "/music/tune.qvl";
    // With the sound on standard output the line goes to standard error,
    // where the death test sees it.
    options.exportPath = "-";
    EXPECT_EQ(resultStream(options), stderr);
    EXPECT_EXIT(
        {
            rememberExitPath(options);
            exitOnStrayException(std::make_exception_ptr(std::bad_alloc()));
        },
        testing::ExitedWithCode(ExitStatus::noMemory), "out of memory\nexit 2 /music/tune.qvl\n$");
}

}  // namespace
}  // namespace quarvel
