// The look at a layout after the connection that sent its commit was lost: only once that
// attachment is gone from the server is the commit's fate settled.

#include "dbstore/CommitCheck.h"
#include "db/Client.h"
#include "db/Database.h"
#include "db/Statement.h"
#include "db/Transaction.h"
#include "store/Digest.h"
#include "support/AppFixture.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

// The attachment still holds its update, uncommitted, when the look begins; it commits a moment
// later. What was there before is not the answer.
TEST(CommitCheckTest, TheLookWaitsForTheLostAttachmentToGo) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    db::Client client;
    db::Database lost(client);
    lost.DatabaseName = scratch.target();
    lost.Options = {.user = fbtest::User, .password = fbtest::Password};
    lost.Open();
    db::Transaction change(lost);
    change.StartTransaction();
    db::ExecuteImmediate(lost, change,
                         QStringLiteral("update REPORTS set DESCR = 'new' where ID = 'INVOICE'"),
                         {}, {});

    std::jthread committing([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        change.Commit();
        lost.Close();
    });
    const store::ContentDigest seen = dbstore::StoredAfterLostConnection(lost, "INVOICE");
    store::DigestSink expected;
    expected.write("new", 3);
    EXPECT_EQ(seen.size, 3);
    EXPECT_EQ(seen.sha256, expected.result().sha256);
}

} // namespace
