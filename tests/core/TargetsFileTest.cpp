// The targets file's lines, without a server.

#include "core/TargetsFile.h"

#include <gtest/gtest.h>

namespace {

std::string ProblemOf(const QString& text) {
    try {
        core::ParseTargets(text, "targets.txt");
    } catch (const core::TargetsFileError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(TargetsFileTest, LinesGiveTargetsWithTheirOwnLogins) {
    const QList<core::TargetLine> targets = core::ParseTargets(
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
        const std::string told = ProblemOf(QStringLiteral("ok:/a.fdb\n#\n%1\n").arg(line));
        EXPECT_EQ(told, std::string("targets.txt:3: ") + problem) << line;
        EXPECT_EQ(told.find("s3cret"), std::string::npos);
    }
}

} // namespace
