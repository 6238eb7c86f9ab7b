// The commit sent to a server that stops answering (SIGSTOP) and the connection dropped: a new
// connection must tell what happened, or the outcome must say that nobody knows.

#include "core/Replacement.h"
#include "datamodule/Data.h"
#include "datamodule/DataModuleStore.h"
#include "support/AppFixture.h"
#include "support/FaultClient.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

using apptest::SampleLayout;
using Result = core::Outcome::Result;

namespace {

class LostCommitTest : public testing::Test {
protected:
    LostCommitTest() {
        apptest::CreateReports(scratch);
        dm.UseTarget(scratch.target());
        dm.OpenReportList();
        QFile out(file);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly) && out.write("new layout") == 10);
        // The commit goes out to a server that no longer answers.
        replacer.OnProgress = [&](const core::Progress& progress) {
            if (progress.phase == core::Phase::WaitingForDatabase && progress.total == 0)
                ::kill(server.pid(), SIGSTOP);
        };
    }
    ~LostCommitTest() override { ::kill(server.pid(), SIGCONT); }

    // Drops the connection once the commit is on its way; resumed decides whether the server
    // runs again before the outcome is known.
    core::Outcome ReplaceAndAbortTheCommit(bool resumed) {
        core::Outcome outcome;
        std::thread worker([&] { outcome = replacer.Replace("INVOICE", file, {folder.path()}); });
        const bool sent =
            QTest::qWaitFor([&] { return faults.calls("isc_commit_retaining") > 0; }, 60000);
        QTest::qSleep(300); // for the request to leave the client
        replacer.Abort();
        if (resumed)
            ::kill(server.pid(), SIGCONT);
        worker.join();
        EXPECT_TRUE(sent);
        return outcome;
    }

    fbtest::ServerInstance server;
    fbtest::ScratchDatabase scratch{1, server.port()};
    QTemporaryDir folder;
    const QString file = QDir(folder.path()).filePath("new.fr3");
    testbed::FaultClient faults;
    TDM dm{testbed::FaultClient::Path()};
    DataModuleStore store{dm};
    core::Replacer replacer{store};
};

TEST_F(LostCommitTest, ACommitThatWentThroughIsReportedAsReplaced) {
    const core::Outcome outcome = ReplaceAndAbortTheCommit(true);
    EXPECT_EQ(outcome.result, Result::Replaced) << outcome.text.toStdString();
    scratch.reconnect();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), "new layout");
}

TEST_F(LostCommitTest, ACommitNobodyCanCheckIsInDoubt) {
    const core::Outcome outcome = ReplaceAndAbortTheCommit(false);
    EXPECT_EQ(outcome.result, Result::InDoubt);
    EXPECT_TRUE(outcome.text.contains("may or may not be stored")) << outcome.text.toStdString();
    QFile backup(outcome.backupPath);
    ASSERT_TRUE(backup.open(QIODevice::ReadOnly));
    EXPECT_EQ(backup.readAll(), SampleLayout("INVOICE"));
}

} // namespace
