// The server killed by its PID while a replacement runs: whatever the moment, the row keeps its
// bytes, the backup is whole, and the program goes on with a clear error.

#include "core/Replacement.h"
#include "datamodule/Data.h"
#include "datamodule/DataModuleStore.h"
#include "support/AppFixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using apptest::SampleLayout;
using core::Phase;

namespace {

struct KillPoint {
    const char* name;
    Phase phase;
    qint64 afterBytes; // of that phase's transfer
};

class ServerDeathTest : public testing::TestWithParam<KillPoint> {
protected:
    ServerDeathTest() {
        apptest::CreateReports(scratch);
        dm.UseTarget(scratch.target());
        dm.OpenReportList();
    }

    fbtest::ServerInstance server;
    fbtest::ScratchDatabase scratch{1, server.port()};
    QTemporaryDir folder;
    TDM dm;
    DataModuleStore store{dm};
    core::Replacer replacer{store};
};

TEST_P(ServerDeathTest, TheRowKeepsItsBytesAndTheBackupIsWhole) {
    const QString file = QDir(folder.path()).filePath("large.fr3");
    const QByteArray layout = testbed::RandomBytes(6 << 20);
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(layout) == layout.size());
    out.close();
    bool killed = false;
    replacer.OnProgress = [&](const core::Progress& progress) {
        if (!killed && progress.phase == GetParam().phase &&
            progress.done >= GetParam().afterBytes) {
            killed = true;
            server.kill();
        }
    };
    const core::Outcome outcome = replacer.Replace("PAYORDER_K", file, {folder.path()});
    ASSERT_TRUE(killed);
    EXPECT_NE(outcome.result, core::Outcome::Result::Replaced);
    EXPECT_FALSE(outcome.text.isEmpty());
    ASSERT_FALSE(outcome.backupPath.isEmpty());
    QFile backup(outcome.backupPath);
    ASSERT_TRUE(backup.open(QIODevice::ReadOnly));
    EXPECT_EQ(backup.readAll(), SampleLayout("PAYORDER_K"));

    // Later commands fail with the database layer's errors instead of crashing.
    EXPECT_EQ(replacer.Replace("PAYORDER_K", file, {folder.path()}).result,
              core::Outcome::Result::Error);
    server.start();
    scratch.reconnect();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "PAYORDER_K"), SampleLayout("PAYORDER_K"));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, ServerDeathTest,
    testing::Values(KillPoint{"AfterTheBackup", Phase::ReadingTemplate, 0},
                    KillPoint{"DuringTheBlobWrite", Phase::SendingNew, 2 << 20},
                    KillPoint{"AtTheCommit", Phase::WaitingForDatabase, 0}),
    [](const testing::TestParamInfo<KillPoint>& point) { return std::string(point.param.name); });

} // namespace
