#include "db/SqlParams.h"
#include "db/Error.h"
#include "support/DataModuleDesign.h"

#include <gtest/gtest.h>

using db::RewriteParams;

namespace {

QString joinLines(const QStringList& lines) {
    QString text;
    for (const QString& line : lines)
        text += line + QStringLiteral("\r\n");
    return text;
}

std::string parseError(const QString& sql) {
    try {
        RewriteParams(sql);
    } catch (const db::Error& error) {
        return error.what();
    }
    return "no error";
}

} // namespace

// The statements as the data module ships them: a change to one shows here.
TEST(SqlParams, DataModuleStatements) {
    struct Case {
        QString setting;
        QString text;
        QStringList names;
    };
    const Case cases[] = {
        {"SelectSQL", "select * from REPORTS\r\n", {}},
        {"RefreshSQL",
         "Select \r\n  ID,\r\n  DESCR\r\nfrom REPORTS \r\nwhere\r\n  ID = ?\r\n",
         {"ID"}},
        {"ModifySQL",
         "update REPORTS\r\nset\r\n  ID = ?,\r\n  DESCR = ?\r\nwhere\r\n  ID = ?\r\n",
         {"ID", "DESCR", "OLD_ID"}},
        {"InsertSQL",
         "insert into REPORTS\r\n  (ID, DESCR)\r\nvalues\r\n  (?, ?)\r\n",
         {"ID", "DESCR"}},
        {"DeleteSQL", "delete from REPORTS\r\nwhere\r\n  ID = ?\r\n", {"OLD_ID"}},
    };
    for (const Case& c : cases) {
        const db::PositionalSql result =
            RewriteParams(joinLines(fbtest::DesignLines("IBReports", c.setting)));
        EXPECT_EQ(result.text, c.text) << c.setting.toStdString();
        EXPECT_EQ(result.names, c.names) << c.setting.toStdString();
    }
}

TEST(SqlParams, ParseErrors) {
    const std::string prefix = "SQL Parse Error:\r\n\r\n";
    EXPECT_EQ(parseError("where ID = : ID"), prefix + "Parameter name expected");
    EXPECT_EQ(parseError("where ID = :"), prefix + "Parameter name expected");
    EXPECT_EQ(parseError("where ID = :-1"), prefix + "Parameter name expected");
    EXPECT_EQ(parseError("select 1 /* open"), prefix + "EOF in comment detected");
    EXPECT_EQ(parseError("select 1 /*/"), prefix + "EOF in comment detected");
    EXPECT_EQ(parseError("where ID = 'open"), prefix + "EOF in string detected");
    EXPECT_EQ(parseError("where \"open = 1"), prefix + "EOF in string detected");
    EXPECT_EQ(parseError("where ID = 'it''s"), prefix + "EOF in string detected");
    EXPECT_EQ(parseError("where ID = :\"open"), prefix + "EOF in string detected");
}

TEST(SqlParams, StringsAndCommentsAreCopiedUnchanged) {
    const QString sql = "select ':A', \"?B\", 'it''s :C' /* :D ? 'x */ from T where X = :E";
    const db::PositionalSql result = RewriteParams(sql);
    EXPECT_EQ(result.text, "select ':A', \"?B\", 'it''s :C' /* :D ? 'x */ from T where X = ?");
    EXPECT_EQ(result.names, QStringList{"E"});
}

TEST(SqlParams, LineCommentIsNotRecognised) {
    const db::PositionalSql result = RewriteParams("select 1 -- :A\r\nfrom T");
    EXPECT_EQ(result.text, "select 1 -- ?\r\nfrom T");
    EXPECT_EQ(result.names, QStringList{"A"});
}

TEST(SqlParams, NamesAreTrimmedUpperCasedAndShared) {
    const db::PositionalSql result =
        RewriteParams("where a = :id and b = :\" Old Id \" and c = ?Id and d = :x$1_y");
    EXPECT_EQ(result.text, "where a = ? and b = ? and c = ? and d = ?");
    EXPECT_EQ(result.names, (QStringList{"ID", "OLD ID", "ID", "X$1_Y"}));
}

TEST(SqlParams, NameEndsAtAnyOtherCharacterWhichIsTakenOverAsItIs) {
    EXPECT_EQ(RewriteParams("(:A,:B)").text, "(?,?)");
    EXPECT_EQ(RewriteParams(":ÄБ9 ").names, QStringList{"ÄБ9"});
    // The quote after the name is copied without opening a string.
    const db::PositionalSql quoteAfterName = RewriteParams("X = :A'");
    EXPECT_EQ(quoteAfterName.text, "X = ?'");
    EXPECT_EQ(quoteAfterName.names, QStringList{"A"});
    // A quoted name ends at its quote; what follows is scanned again.
    EXPECT_EQ(RewriteParams(":\"a\"'b:c'").text, "?'b:c'");
}

TEST(SqlParams, BareQuestionMarksAreSeparateParameters) {
    const db::PositionalSql result = RewriteParams("values (?, :A, ?)");
    EXPECT_EQ(result.text, "values (?, ?, ?)");
    EXPECT_EQ(result.names, (QStringList{"?1", "A", "?3"}));
}
