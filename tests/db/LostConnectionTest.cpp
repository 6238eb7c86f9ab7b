#include "DbFixture.h"
#include "db/Statement.h"
#include "support/FbScratch.h"

#include <gtest/gtest.h>

namespace {

const std::string NotOpen = "Cannot perform operation -- DB is not open";

bool isLostConnection(const db::ServerError& error) {
    return error.hasCode(isc_lost_db_connection) || error.hasCode(isc_net_read_err) ||
           error.hasCode(isc_net_write_err);
}

// A connection with an active transaction to a private server that the test then kills.
class LostConnectionTest : public testing::Test {
protected:
    LostConnectionTest() : scratch(1, server.port()), c(scratch.target()) {
        scratch.execute("create table REPORTS (ID varchar(20), DESCR blob)");
        scratch.insertReport("PAYORDER_K", QByteArray("layout"));
        c.database.Open();
        c.transaction.StartTransaction();
    }

    // The first call after the server died: it must raise the lost connection and force-close.
    void expectForceClose(const std::function<void()>& call) {
        try {
            call();
            FAIL() << "no error";
        } catch (const db::ServerError& error) {
            EXPECT_TRUE(isLostConnection(error)) << error.what();
        }
        EXPECT_FALSE(c.database.Connected());
        EXPECT_FALSE(c.transaction.Active());
    }

    fbtest::ServerInstance server;
    fbtest::ScratchDatabase scratch;
    Connection c;
};

} // namespace

TEST_F(LostConnectionTest, StatementCallForceClosesThenLaterCallsFindTheDatabaseClosed) {
    db::Statement select(c.database, c.transaction);
    select.Prepare("select ID from REPORTS");
    server.kill();
    expectForceClose([&] {
        select.Execute();
        select.Fetch();
    });
    EXPECT_EQ(errorText([&] { select.Execute(); }), NotOpen);
    EXPECT_EQ(errorText([&] { select.Prepare("select ID from REPORTS"); }), NotOpen);
    EXPECT_EQ(errorText([&] { c.transaction.StartTransaction(); }), NotOpen);
}

TEST_F(LostConnectionTest, TransactionCallForceCloses) {
    server.kill();
    expectForceClose([&] { c.transaction.CommitRetaining(); });
    EXPECT_EQ(errorText([&] { c.transaction.CommitRetaining(); }), "Transaction is not active");
}
