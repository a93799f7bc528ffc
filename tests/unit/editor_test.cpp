// The editor's command line: split like a shell's simple words, and +LINE for
// the editors known to take it.
#include <gtest/gtest.h>

#include "driver/editor.h"

namespace quarvel {
namespace {

struct SplitCase {
    const char* text;
    std::vector<std::string> words;  // empty: refused
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, SplitsLikeAShellWithoutExpanding) {
    const auto& c = GetParam();
    std::string problem;
    const auto words = splitCommandLine(c.text, &problem);
    if (c.words.empty()) {
        EXPECT_FALSE(words) << c.text;
        EXPECT_FALSE(problem.empty());
    } else {
        ASSERT_TRUE(words) << problem;
        EXPECT_EQ(*words, c.words);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EditorCommands, SplitTest,
    testing::Values(SplitCase{"vim", {"vim"}}, SplitCase{"vim -n", {"vim", "-n"}},
                    SplitCase{"  code   --wait\t", {"code", "--wait"}},
                    SplitCase{"emacsclient -t -a ''", {"emacsclient", "-t", "-a", ""}},
                    SplitCase{"'/opt/my editor/ed' -x", {"/opt/my editor/ed", "-x"}},
                    SplitCase{"\"a \\\"b\\\" \\\\ \\n\"", {"a \"b\" \\ \\n"}},
                    SplitCase{"my\\ editor", {"my editor"}},
                    SplitCase{"vi$HOME 'x'\"y\"z", {"vi$HOME", "xyz"}}, SplitCase{"vim 'open", {}},
                    SplitCase{"vim \"open", {}}, SplitCase{"   ", {}}));

struct LineCase {
    const char* program;
    bool takesLine;
};

class LineTest : public testing::TestWithParam<LineCase> {};

TEST_P(LineTest, DecidesByTheProgramsBaseName) {
    EXPECT_EQ(takesLineArgument(GetParam().program), GetParam().takesLine) << GetParam().program;
}

INSTANTIATE_TEST_SUITE_P(Editors, LineTest,
                         testing::Values(LineCase{"vim", true}, LineCase{"/usr/bin/nvim", true},
                                         LineCase{"vi", true}, LineCase{"nano", true},
                                         LineCase{"emacs", true},
                                         LineCase{"/usr/local/bin/emacsclient", true},
                                         LineCase{"micro", true}, LineCase{"kak", true},
                                         LineCase{"code", false}, LineCase{"gedit", false},
                                         LineCase{"/opt/vim/bin/notvim", false},
                                         LineCase{"vim/", false}, LineCase{"", false}));

}  // namespace
}  // namespace quarvel
