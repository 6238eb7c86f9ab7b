// The targets file's lines, without a server.

#include "cli/TargetsFile.h"

#include <gtest/gtest.h>

namespace {

std::string ProblemOf(const QByteArray& text) {
    try {
        cli::ParseTargets(text, "targets.txt");
    } catch (const cli::TargetsFileError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(TargetsFileTest, LinesGiveTargetsWithTheirOwnLogins) {
    const QList<cli::TargetLine> targets = cli::ParseTargets(
        "# offices\n"
        "\n"
        "  127.0.0.1:/srv/a.fdb\n"
        "b:/srv/b.fdb user=ACCOUNTS\tpassword-file=/root/b.pw\r\n"
        "\"c:/srv/my office/c.fdb\" password-file=\"/root/q\\\"uote\\\\d.pw\" user=X\n"
        "d:C:\\DATA\\KORVEX.FDB pass\"word\"-file=\"a b\"\n",
        "targets.txt");
    ASSERT_EQ(targets.size(), 4);
    EXPECT_EQ(targets[0].line, 3);
    EXPECT_EQ(targets[0].database, "127.0.0.1:/srv/a.fdb");
    EXPECT_FALSE(targets[0].user || targets[0].passwordFile);
    EXPECT_EQ(targets[1].user, "ACCOUNTS");
    EXPECT_EQ(targets[1].passwordFile, "/root/b.pw");
    EXPECT_EQ(targets[2].database, "c:/srv/my office/c.fdb");
    EXPECT_EQ(targets[2].passwordFile, "/root/q\"uote\\d.pw");
    EXPECT_EQ(targets[2].user, "X");
    EXPECT_EQ(targets[3].line, 6);
    EXPECT_EQ(targets[3].database, "d:C:\\DATA\\KORVEX.FDB");
    EXPECT_EQ(targets[3].passwordFile, "a b");
}

TEST(TargetsFileTest, AMalformedLineIsNamedByFileAndNumberWithoutItsValues) {
    const std::pair<const char*, const char*> wrong[] = {
        {"a passwd=x", "unknown key passwd"},
        {"a password=s3cret", "unknown key password: a password stands in a file of its own, "
                              "named by password-file="},
        {"a user=x user=y", "repeated key user"},
        {"a user=", "user= needs a value"},
        {"a password-file=\"\"", "password-file= needs a value"},
        {"\"a user=x", "unterminated quote"},
        {"a user=\"x\\y\"", "within quotes a backslash only escapes \" or \\"},
        {"a s3cret", "word 2 is not KEY=VALUE"},
        {"a =x", "word 2 is not KEY=VALUE"},
        {"\"\" user=x", "an empty target"},
    };
    for (const auto& [line, problem] : wrong) {
        const std::string told = ProblemOf(QByteArray("ok:/a.fdb\n#\n") + line + "\n");
        EXPECT_EQ(told, std::string("targets.txt:3: ") + problem) << line;
        EXPECT_EQ(told.find("s3cret"), std::string::npos);
    }
}

// As Windows editors save it: the byte-order mark is no part of the first target.
TEST(TargetsFileTest, AByteOrderMarkAndCrLfLineEndsAreTaken) {
    const QList<cli::TargetLine> targets = cli::ParseTargets("\xEF\xBB\xBF"
                                                             "a:/a.fdb\r\n\r\nb:/b.fdb user=X\r\n",
                                                             "t.txt");
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].database, "a:/a.fdb");
    EXPECT_EQ(targets[1].line, 3);
    EXPECT_EQ(targets[1].user, "X");
}

TEST(TargetsFileTest, TextThatIsNotUtf8IsNamedByItsLine) {
    const std::pair<QByteArray, const char*> wrong[] = {
        {QByteArray("\xFE\xFF\0a", 4), "targets.txt:1: UTF-16 text; save the file as UTF-8"},
        {QByteArray("a\0:\0/\0", 6),
         "targets.txt:1: a NUL byte; save the file as UTF-8 (not UTF-16)"},
        {QByteArray("ok:/a.fdb\nb:/b.fdb") + '\0' + " user=X\n",
         "targets.txt:2: a NUL byte; save the "
         "file as UTF-8 (not UTF-16)"},
        {"ok:/a.fdb\n\xC3\n", "targets.txt:2: not UTF-8 text; save the file as UTF-8"},
        {"ok:/a.fdb\n\xE9t\xE9.fdb\n", "targets.txt:2: not UTF-8 text; save the file as UTF-8"},
    };
    for (const auto& [text, problem] : wrong)
        EXPECT_EQ(ProblemOf(text), problem) << text.toHex().toStdString();
}

} // namespace
