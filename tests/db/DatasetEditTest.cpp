#include "DatasetFixture.h"
#include "db/Error.h"
#include "db/Statement.h"

#include <atomic>
#include <chrono>
#include <thread>

using State = db::Dataset::State;

namespace {

class DatasetEditTest : public testing::Test {
protected:
    // Schema changes must come before the open: prepared statements keep the metadata they saw.
    void open(const std::string& table = "create table REPORTS (ID varchar(20), DESCR blob)",
              const std::vector<std::string>& setup = {}) {
        scratch.execute(table);
        for (const std::string& statement : setup)
            scratch.execute(statement);
        scratch.insertReport("INVOICE", QByteArray("stored"));
        list.IBReports.Open();
    }
    std::string post() {
        return errorText([&] { list.IBReports.Post(); });
    }

    fbtest::ScratchDatabase scratch;
    ReportList list{scratch.target()};
};

} // namespace

TEST_F(DatasetEditTest, FailedPostStaysInEditModeAndCancelBringsBackTheStoredBytes) {
    open("create table REPORTS (ID varchar(20) not null, DESCR blob not null)",
         {"create exception REACHED 'the update reached the server'",
          "create trigger REPORTS_BU for REPORTS before update as begin exception REACHED; end"});
    list.replace("INVOICE", "");
    EXPECT_EQ(post(), "IBReports: Field 'DESCR' must have a value");
    EXPECT_EQ(list.IBReports.state(), State::Edit);
    list.write("rejected");
    EXPECT_NE(post().find("the update reached the server"), std::string::npos);
    EXPECT_EQ(list.IBReports.state(), State::Edit);
    EXPECT_EQ(list.read(), "rejected");
    list.IBReports.Cancel();
    EXPECT_EQ(list.IBReports.state(), State::Browse);
    EXPECT_EQ(list.read(), "stored");
}

TEST_F(DatasetEditTest, RowDeletedByAnotherUserFailsAndStaysInEditMode) {
    open();
    ASSERT_TRUE(list.IBReports.Locate("ID", "INVOICE"));
    EXPECT_EQ(list.read(), "stored"); // the backup's read
    scratch.execute("delete from REPORTS where ID = 'INVOICE'");
    // A transaction that began before the deletion would meet an update conflict instead.
    list.IBT.Commit();
    list.IBT.StartTransaction();
    list.replace("INVOICE", "new");
    EXPECT_EQ(post(), "Row not found: the report was deleted by another user");
    EXPECT_EQ(list.IBReports.state(), State::Edit);
    list.IBT.RollbackRetaining();
    list.IBReports.Cancel();
    // The stored bytes were let go when the writer emptied the row, and the deleted row's BLOB
    // is gone from the server: no stale copy is handed out as if it were stored.
    EXPECT_THROW(list.read(), db::ServerError);
}

TEST_F(DatasetEditTest, RevertLastPostAfterRollbackBringsBackTheStoredBytes) {
    open();
    list.replace("INVOICE", "rejected");
    EXPECT_EQ(post(), "no error");
    list.IBT.RollbackRetaining();
    list.IBReports.Cancel(); // not in edit mode any more: nothing
    EXPECT_EQ(list.read(), "rejected");
    list.IBReports.RevertLastPost();
    EXPECT_EQ(list.read(), "stored");
    EXPECT_EQ(Stored(scratch, "INVOICE"), "stored");

    // A later edit is no longer the reverted post's: nothing to revert after it fails.
    list.replace("INVOICE", "committed");
    list.IBReports.Post();
    list.IBT.CommitRetaining();
    list.IBReports.Edit();
    list.IBReports.Cancel();
    list.IBReports.RevertLastPost();
    EXPECT_EQ(list.read(), "committed");
}

TEST_F(DatasetEditTest, LocateEndsAPendingEdit) {
    open("create table REPORTS (ID varchar(20), DESCR blob)",
         {"insert into REPORTS (ID, DESCR) values ('VATDEC', 'other')"});
    list.replace("INVOICE", "written");
    ASSERT_TRUE(list.IBReports.Locate("ID", "VATDEC")); // posts what was written
    list.IBT.CommitRetaining();
    EXPECT_EQ(Stored(scratch, "INVOICE"), "written");

    list.IBReports.Edit();
    list.IBReports.CreateContentWriter("DESCR")->close(); // emptied, nothing written
    ASSERT_TRUE(list.IBReports.Locate("ID", "VATDEC"));   // cancels
    EXPECT_EQ(list.IBReports.state(), State::Browse);
    EXPECT_EQ(list.read(), "other");
}

TEST_F(DatasetEditTest, Refusals) {
    open();
    ASSERT_TRUE(list.IBReports.Locate("ID", "INVOICE"));
    EXPECT_EQ(errorText([&] { list.IBReports.CreateContentWriter("DESCR")->write("x", 1); }),
              "Not in edit mode");
    EXPECT_EQ(list.read(), "stored");

    ReportList noUpdate(scratch.target());
    noUpdate.IBReports.ModifySQL.clear();
    noUpdate.IBReports.Open();
    EXPECT_EQ(errorText([&] { noUpdate.IBReports.Edit(); }), "Cannot update. (No update query)");

    // A user who may only read: the row statements are unavailable, not failing the open, and an
    // edit names the missing right.
    scratch.execute("create or alter user KORVEX_READER password 'reader' using plugin Srp");
    scratch.execute("grant select on REPORTS to KORVEX_READER");
    ReportList reader(scratch.target(),
                      {"user_name=KORVEX_READER", "password=reader", "sql_dialect=1"});
    reader.IBReports.Open();
    EXPECT_EQ(errorText([&] { reader.IBReports.Edit(); }),
              "IBReports: Cannot modify the report list: the user lacks UPDATE permission on "
              "table REPORTS");
    EXPECT_EQ(reader.read(), "stored");
}

// A lock conflict with another connection's uncommitted update: the default transaction options
// wait for that transaction to end.
class DatasetLockTest : public DatasetEditTest, public testing::WithParamInterface<bool> {};

TEST_P(DatasetLockTest, PostWaitsForTheOtherTransaction) {
    const bool otherCommits = GetParam();
    open();
    Connection other(scratch.target());
    other.database.Open();
    other.transaction.StartTransaction();
    db::Statement update(other.database, other.transaction);
    update.Prepare("update REPORTS set DESCR = null where ID = 'INVOICE'");
    update.Execute();
    list.replace("INVOICE", "ours");

    // The other transaction ends once the server shows the post's update waiting, or once the
    // post has returned without waiting.
    std::atomic<bool> posted = false;
    bool waited = false;
    std::thread ender([&] {
        while (!posted && !(waited = scratch.running("update REPORTS")))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        otherCommits ? other.transaction.Commit() : other.transaction.Rollback();
    });
    const std::string result = post();
    posted = true;
    ender.join();
    EXPECT_TRUE(waited) << result;
    if (otherCommits) {
        EXPECT_NE(result.find("update conflicts with concurrent update"), std::string::npos)
            << result;
        EXPECT_EQ(list.IBReports.state(), State::Edit);
    } else {
        EXPECT_EQ(result, "no error");
        list.IBT.CommitRetaining();
        EXPECT_EQ(Stored(scratch, "INVOICE"), "ours");
    }
}

INSTANTIATE_TEST_SUITE_P(OtherTransaction, DatasetLockTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Commits" : "RollsBack"; });

// A before-update trigger stores other bytes than the ones posted, so a read tells whether it was
// served from memory or from the server.
struct ServerFilled {
    const char* name;
    const char* domain;
    const char* column;
    bool refreshed;
};

class DatasetRefreshTest : public DatasetEditTest,
                           public testing::WithParamInterface<ServerFilled> {};

TEST_P(DatasetRefreshTest, ServerFilledColumnsMakeTheNextReadGoToTheServer) {
    if (*GetParam().domain)
        scratch.execute(GetParam().domain);
    open(std::string("create table REPORTS (ID varchar(20), DESCR blob") + GetParam().column + ")",
         {"create trigger REPORTS_BU for REPORTS before update as "
          "begin new.DESCR = 'made by trigger'; end"});
    list.replace("INVOICE", "posted");
    ASSERT_EQ(post(), "no error");
    EXPECT_EQ(list.IBReports.state(), State::Browse);
    EXPECT_EQ(list.read(), GetParam().refreshed ? "made by trigger" : "posted");
    list.IBT.CommitRetaining();
    EXPECT_EQ(Stored(scratch, "INVOICE"), "made by trigger");
}

INSTANTIATE_TEST_SUITE_P(
    Columns, DatasetRefreshTest,
    testing::Values(ServerFilled{"None", "", "", false},
                    ServerFilled{"Default", "", ", STAMP integer default 7", true},
                    ServerFilled{"DomainDefault", "create domain D_STAMP integer default 7",
                                 ", STAMP D_STAMP", true},
                    ServerFilled{"Computed", "", ", LEN computed by (char_length(ID))", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Without a primary key two rows may share an identifier, and the update then reaches both.
TEST_F(DatasetEditTest, AnUpdateChangingSeveralRowsFailsAndStaysInEditMode) {
    open("create table REPORTS (ID varchar(20), DESCR blob, COPY integer)",
         {"insert into REPORTS (ID, DESCR, COPY) values ('INVOICE', 'second', 2)"});
    list.replace("INVOICE", "new");
    EXPECT_EQ(post(), "The update changed 2 rows in REPORTS instead of one: the report identifier "
                      "is not unique");
    EXPECT_EQ(list.IBReports.state(), State::Edit);
    list.IBT.RollbackRetaining();
    list.IBReports.Cancel();
    list.IBT.CommitRetaining();
    EXPECT_EQ(scratch.queryBlob("select DESCR from REPORTS where COPY = 2"), "second");
    EXPECT_EQ(scratch.queryBlob("select DESCR from REPORTS where COPY is null"), "stored");
}
