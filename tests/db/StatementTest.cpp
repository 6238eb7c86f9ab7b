#include "db/Statement.h"
#include "DbFixture.h"
#include "db/Error.h"
#include "support/FbScratch.h"

#include <gtest/gtest.h>
#include <iberror.h>

namespace {

db::Value text(const QByteArray& bytes) {
    return db::Value{false, bytes};
}

// A REPORTS table with a fixed-length key, open with an active transaction.
class StatementTest : public testing::Test {
protected:
    StatementTest() : c(scratch.target()) {
        scratch.execute("create table REPORTS (ID char(10), NAME varchar(20), DESCR blob)");
        scratch.insertReport("PAYORDER_K", QByteArray("layout"));
        scratch.insertReport("INVOICE", std::nullopt);
        scratch.execute("update REPORTS set NAME = 'Фактура' where ID = 'INVOICE'");
        c.database.Open();
        c.transaction.StartTransaction();
    }

    std::vector<std::vector<db::Value>> rows(const QString& select) {
        db::Statement statement(c.database, c.transaction);
        statement.Prepare(select);
        statement.Execute();
        std::vector<std::vector<db::Value>> result;
        while (statement.Fetch())
            result.push_back(statement.Row());
        return result;
    }

    long updated(const QString& update, const QByteArray& key) {
        db::Statement statement(c.database, c.transaction);
        statement.Prepare(update);
        statement.SetParam("KEY", text(key));
        statement.Execute();
        return statement.RowsAffected();
    }

    fbtest::ScratchDatabase scratch;
    Connection c;
};

} // namespace

TEST_F(StatementTest, DescribesColumnsAndParameters) {
    db::Statement statement(c.database, c.transaction);
    statement.Prepare("select * from REPORTS where ID = :KEY and NAME <> :Other or ID = :key");
    ASSERT_EQ(statement.Columns().size(), 3u);
    const db::ColumnInfo& id = statement.Columns()[0];
    EXPECT_EQ(id.name, "ID");
    EXPECT_EQ(id.relation, "REPORTS");
    EXPECT_EQ(id.sqlType, SQL_TEXT);
    EXPECT_EQ(id.length, 10);
    EXPECT_TRUE(id.nullable);
    EXPECT_EQ(statement.Columns()[1].sqlType, SQL_VARYING);
    EXPECT_EQ(statement.Columns()[2].sqlType, SQL_BLOB);
    EXPECT_EQ(statement.Columns()[2].subType, 0);
    EXPECT_EQ(statement.ParamNames(), (QStringList{"KEY", "OTHER"}));
    ASSERT_EQ(statement.Parameters().size(), 3u);
    EXPECT_EQ(statement.Parameters()[0].length, 10);
}

TEST_F(StatementTest, RowValuesAreTheStoredBytes) {
    const auto result = rows("select ID, NAME, DESCR from REPORTS order by ID desc");
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0][0].data, "PAYORDER_K");
    EXPECT_TRUE(result[0][1].null);
    EXPECT_FALSE(result[0][2].null);
    EXPECT_EQ(result[0][2].data.size(), 8);
    EXPECT_EQ(result[1][0].data, "INVOICE   "); // CHAR padded to its width
    EXPECT_EQ(result[1][1].data, QString("Фактура").toLocal8Bit());
    EXPECT_TRUE(result[1][2].null);
}

TEST_F(StatementTest, OneValueFillsEveryPlaceholderOfItsName) {
    db::Statement statement(c.database, c.transaction);
    statement.Prepare("select count(*) from REPORTS where ID = :K or NAME = :K");
    statement.SetParam("k", text("INVOICE"));
    statement.Execute();
    ASSERT_TRUE(statement.Fetch());
    EXPECT_EQ(statement.Row()[0].data, QByteArray("\1\0\0\0", 4));
    EXPECT_FALSE(statement.Fetch());
}

TEST_F(StatementTest, TextLongerThanTheParameterIsRefused) {
    db::Statement statement(c.database, c.transaction);
    statement.Prepare("select ID from REPORTS where ID = :ID");
    statement.SetParam("ID", text("1234567890"));
    EXPECT_EQ(errorText([&] { statement.SetParam("ID", text("12345678901")); }),
              "Trying to store a string of length 11 into a field that can only contain 10");
}

TEST_F(StatementTest, BlobIdAndNullParametersReachTheServer) {
    const auto before = rows("select DESCR from REPORTS where ID = 'PAYORDER_K'");
    db::Statement update(c.database, c.transaction);
    update.Prepare("update REPORTS set DESCR = :DESCR, NAME = :NAME where ID = :OLD_ID");
    update.SetParam("DESCR", before[0][0]);
    update.SetParam("NAME", db::Value{});
    update.SetParam("OLD_ID", text("INVOICE"));
    update.Execute();
    c.transaction.Commit();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), QByteArray("layout"));
    EXPECT_EQ(scratch.queryValue("select NAME from REPORTS where ID = 'INVOICE'"), std::nullopt);
}

TEST_F(StatementTest, RowsAffectedIsTheChangeCountNotTheSelectCount) {
    scratch.insertReport("INVOICE", std::nullopt);
    c.transaction.Commit(); // a fresh snapshot sees the second INVOICE
    c.transaction.StartTransaction();
    const QString update = "update REPORTS set NAME = 'x' where ID = :KEY";
    EXPECT_EQ(updated(update, "VATDEC"), 0);
    EXPECT_EQ(updated(update, "PAYORDER_K"), 1);
    EXPECT_EQ(updated(update, "INVOICE"), 2);
    EXPECT_EQ(updated("delete from REPORTS where ID = :KEY", "INVOICE"), 2);
}

TEST_F(StatementTest, PrepareErrorCarriesTheClientText) {
    db::Statement statement(c.database, c.transaction);
    try {
        statement.Prepare("select * from MISSING");
        FAIL() << "prepared";
    } catch (const db::ServerError& error) {
        EXPECT_STREQ(error.what(), "Dynamic SQL Error\r\nSQL error code = -204\r\nTable "
                                   "unknown\r\nMISSING\r\nAt line 1, column 15");
        EXPECT_EQ(error.sqlCode(), -204);
        EXPECT_TRUE(error.hasCode(isc_dsql_relation_err));
    }
    EXPECT_FALSE(statement.Prepared());
    EXPECT_TRUE(c.database.Connected());
    EXPECT_TRUE(c.transaction.Active());
}

TEST_F(StatementTest, FetchErrorRaisesAndClosesTheCursor) {
    db::Statement statement(c.database, c.transaction);
    statement.Prepare("select cast(NAME as integer) from REPORTS order by ID desc");
    statement.Execute();
    ASSERT_TRUE(statement.Fetch()); // NULL converts
    // Firebird 4 spells out the bytes that a connection without a character set cannot show.
    const std::string text = errorText([&] { statement.Fetch(); });
    EXPECT_TRUE(text == "conversion error from string \"Фактура\"" ||
                text == "conversion error from string "
                        "\"#xd0#xa4#xd0#xb0#xd0#xba#xd1#x82#xd1#x83#xd1#x80#xd0#xb0\"")
        << text;
    EXPECT_THROW(statement.Fetch(), std::logic_error);
    statement.Execute();
    EXPECT_TRUE(statement.Fetch());
}

TEST_F(StatementTest, NeedsAnOpenConnection) {
    db::Statement statement(c.database, c.transaction);
    c.database.Close();
    EXPECT_EQ(errorText([&] { statement.Prepare("select * from REPORTS"); }),
              "Cannot perform operation -- DB is not open");
}

TEST_F(StatementTest, MissingRightIsAPermissionErrorAtPrepare) {
    fbtest::ScratchUser reader(scratch);
    scratch.execute("grant select on REPORTS to " + reader.name());
    Connection limited(scratch.target());
    limited.database.Options = {.user = QString::fromStdString(reader.name()),
                                .password = QString::fromStdString(reader.password()),
                                .sqlDialect = 1};
    limited.database.Open();
    limited.transaction.StartTransaction();
    db::Statement statement(limited.database, limited.transaction);
    statement.Prepare("select * from REPORTS");
    try {
        statement.Prepare("update REPORTS set DESCR = :DESCR where ID = :OLD_ID");
        FAIL() << "prepared";
    } catch (const db::ServerError& error) {
        EXPECT_EQ(error.sqlCode(), -551);
        // Firebird 4 names the user in a line of its own.
        const std::string text = error.what();
        const std::string refusal = "no permission for UPDATE access to TABLE REPORTS";
        EXPECT_TRUE(text == refusal || text == refusal + "\r\nEffective user is " + reader.name())
            << text;
    }
}

// One row in the types asked for, a BLOB id as a parameter; no row and several rows as the
// server tells them.
TEST_F(StatementTest, ExecuteImmediateReturnsOneRowOrTheServersRefusal) {
    const auto immediate = [&](const QString& sql, const std::vector<db::TypedValue>& params) {
        return db::ExecuteImmediate(c.database, c.transaction, sql, params,
                                    {{{}, {}, SQL_VARYING, 0, 21}, {{}, {}, SQL_BLOB, 0, 8}});
    };
    const QString select = "select NAME, DESCR from REPORTS where ID = ?";
    const std::vector<db::Value> layout = immediate(select, {{SQL_TEXT, text("PAYORDER_K")}});
    EXPECT_TRUE(layout[0].null);
    ASSERT_FALSE(layout[1].null);
    const QString update = "update REPORTS set DESCR = ? where ID = ? returning "
                           "cast(octet_length(DESCR) as varchar(21)), DESCR";
    const std::vector<db::Value> changed =
        immediate(update, {{SQL_BLOB, layout[1]}, {SQL_TEXT, text("INVOICE")}});
    EXPECT_EQ(changed[0].data, QByteArray("6"));
    EXPECT_FALSE(changed[1].null);
    const std::vector<db::Value> none =
        immediate(update, {{SQL_BLOB, layout[1]}, {SQL_TEXT, text("VATDEC")}});
    EXPECT_TRUE(none[0].null && none[1].null);
    c.transaction.Commit();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), QByteArray("layout"));

    c.transaction.StartTransaction();
    const auto refusal = [&](const QByteArray& key) {
        try {
            immediate(select, {{SQL_TEXT, text(key)}});
        } catch (const db::ServerError& error) {
            return error.hasCode(isc_stream_eof)        ? "none"
                   : error.hasCode(isc_sing_select_err) ? "several"
                                                        : "other";
        }
        return "row";
    };
    EXPECT_STREQ(refusal("VATDEC"), "none");
    scratch.insertReport("INVOICE", std::nullopt);
    c.transaction.Commit(); // a fresh snapshot sees the second INVOICE
    c.transaction.StartTransaction();
    EXPECT_STREQ(refusal("INVOICE"), "several");
}
