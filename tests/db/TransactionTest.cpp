#include "DbFixture.h"
#include "db/Statement.h"
#include "support/FbScratch.h"

#include <gtest/gtest.h>

namespace {

class TransactionTest : public testing::Test {
protected:
    TransactionTest() {
        scratch.execute("create table REPORTS (ID varchar(20), DESCR blob)");
        scratch.insertReport("PAYORDER_K", std::nullopt);
        scratch.insertReport("PAYORDER_B", std::nullopt);
    }

    static void insert(Connection& c, const QByteArray& id) {
        db::Statement statement(c.database, c.transaction);
        statement.Prepare("insert into REPORTS (ID) values (:ID)");
        statement.SetParam("ID", db::Value{false, id});
        statement.Execute();
    }

    // What other connections see.
    std::string committedCount() { return *scratch.queryValue("select count(*) from REPORTS"); }

    fbtest::ScratchDatabase scratch;
};

} // namespace

TEST_F(TransactionTest, ErrorTexts) {
    Connection c(scratch.target());
    EXPECT_EQ(errorText([&] { c.transaction.StartTransaction(); }),
              "Cannot perform operation -- DB is not open");
    EXPECT_FALSE(c.database.Connected());
    for (auto end : {&db::Transaction::CommitRetaining, &db::Transaction::RollbackRetaining,
                     &db::Transaction::Commit, &db::Transaction::Rollback})
        EXPECT_EQ(errorText([&] { (c.transaction.*end)(); }), "Transaction is not active");
    c.database.Open();
    c.transaction.StartTransaction();
    EXPECT_EQ(errorText([&] { c.transaction.StartTransaction(); }), "Transaction is active");
}

TEST_F(TransactionTest, RetainingKeepsTheTransactionAndItsOpenCursor) {
    Connection c(scratch.target());
    c.database.Open();
    c.transaction.StartTransaction();
    db::Statement select(c.database, c.transaction);
    select.Prepare("select ID from REPORTS");
    select.Execute();
    ASSERT_TRUE(select.Fetch());

    insert(c, "INVOICE");
    c.transaction.CommitRetaining();
    EXPECT_TRUE(c.transaction.Active());
    EXPECT_EQ(committedCount(), "3");

    insert(c, "VATDEC");
    c.transaction.RollbackRetaining();
    EXPECT_TRUE(c.transaction.Active());
    EXPECT_TRUE(select.Fetch());

    insert(c, "VATBAY");
    c.transaction.Commit();
    EXPECT_FALSE(c.transaction.Active());
    EXPECT_EQ(committedCount(), "4");
}

TEST_F(TransactionTest, DestructionAndCloseCommit) {
    {
        Connection c(scratch.target());
        c.database.Open();
        c.transaction.StartTransaction();
        insert(c, "INVOICE");
    }
    EXPECT_EQ(committedCount(), "3");
    EXPECT_EQ(scratch.otherAttachments(), 0);

    Connection c(scratch.target());
    c.database.Open();
    c.transaction.StartTransaction();
    insert(c, "VATDEC");
    c.database.Close();
    EXPECT_FALSE(c.transaction.Active());
    EXPECT_EQ(committedCount(), "4");
}

TEST_F(TransactionTest, DestructionRollsBackSilentlyWhenTheCommitFails) {
    scratch.execute("create exception REFUSED 'commit refused'");
    scratch.execute("create trigger REFUSE_COMMIT on transaction commit as begin "
                    "if (rdb$get_context('USER_TRANSACTION', 'REFUSE') = '1') then "
                    "exception REFUSED; end");
    {
        Connection c(scratch.target());
        c.database.Open();
        c.transaction.StartTransaction();
        insert(c, "INVOICE");
        db::Statement refuse(c.database, c.transaction);
        refuse.Prepare("select rdb$set_context('USER_TRANSACTION', 'REFUSE', '1') "
                       "from rdb$database");
        refuse.Execute();
        refuse.Fetch();
        EXPECT_NE(errorText([&] { c.transaction.Commit(); }).find("commit refused"),
                  std::string::npos);
        EXPECT_TRUE(c.transaction.Active());
    }
    EXPECT_EQ(committedCount(), "2");
    EXPECT_EQ(scratch.otherAttachments(), 0);
}
