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
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>

using apptest::SampleLayout;
using Result = core::Outcome::Result;

namespace {

// Whether a connection to the local port holds bytes its listening process has not read yet.
bool UnreadBytesAt(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto localPort = std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
        const auto unread = std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16);
        if (localPort == port && state == "01" && unread > 0)
            return true;
    }
    return false;
}

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
        // Stopped, the server cannot read it, but its kernel takes it in.
        EXPECT_TRUE(QTest::qWaitFor([&] { return UnreadBytesAt(server.port()); }, 60000));
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

// Resumed, the server reads the commit its kernel took in; whether it carries it out once it also
// sees the connection gone is its own race (both seen here). The outcome must tell which.
TEST_F(LostCommitTest, AResumedCommitIsReportedAsWhatTheServerStored) {
    const core::Outcome outcome = ReplaceAndAbortTheCommit(true);
    scratch.reconnect();
    const std::optional<QByteArray> stored = scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE");
    if (stored == "new layout") {
        EXPECT_EQ(outcome.result, Result::Replaced) << outcome.text.toStdString();
    } else {
        EXPECT_EQ(outcome.result, Result::Failed) << outcome.text.toStdString();
        EXPECT_EQ(stored, SampleLayout("INVOICE"));
    }
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
