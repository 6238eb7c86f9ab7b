// A diff program named in the environment is split as a shell would split it, none being run.

#include "platform/Process.h"

#include <gtest/gtest.h>

using platform::ShellWords;

TEST(ShellWords, QuotesAndBackslashesAsAShellTakesThem) {
    EXPECT_EQ(ShellWords("  diff   -u\t--color=never \n"),
              QStringList({"diff", "-u", "--color=never"}));
    EXPECT_EQ(ShellWords(R"('/opt/my tools/diff' "-x \"a\" \$b" it\'s "" '')"),
              QStringList({"/opt/my tools/diff", R"(-x "a" $b)", "it's", "", ""}));
    EXPECT_EQ(ShellWords(R"(a"b c"'d e'\ f "\n")"), QStringList({"ab cd e f", R"(\n)"}));
    EXPECT_EQ(ShellWords("$HOME/diff `id` *"), QStringList({"$HOME/diff", "`id`", "*"}))
        << "nothing is expanded";
    EXPECT_TRUE(ShellWords("").isEmpty());
}

TEST(ShellWords, AnUnfinishedWordIsRefused) {
    for (const char* text : {"diff 'a", "diff \"a", "diff \"a\\\"", "diff a\\"})
        EXPECT_THROW(ShellWords(text), std::invalid_argument) << text;
}

TEST(RunProgram, HandsOverTheOutputAndTheExitStatusWithoutAShell) {
    QByteArray out;
    const auto collect = [&](const QByteArray& bytes) {
        out += bytes;
    };
    EXPECT_EQ(platform::RunProgram({"printf", "%s|", "a b", "$HOME", ";false"}, collect), 0);
    EXPECT_EQ(out, "a b|$HOME|;false|");
    EXPECT_EQ(platform::RunProgram({"sh", "-c", "exit 7"}, collect), 7);
    EXPECT_THROW(platform::RunProgram({"/nonexistent/diff"}, collect), std::runtime_error);
    EXPECT_THROW(platform::RunProgram({"sh", "-c", "kill -9 $$"}, collect), std::runtime_error);
}
