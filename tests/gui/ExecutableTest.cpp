// What the real executable sets up for itself, seen from outside while it runs: the tests of the
// routines it calls cannot tell whether main calls them.

#include "support/AppFixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace {

// The signals the process ignores, from the kernel's account of it.
quint64 IgnoredSignals(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    EXPECT_TRUE(status.open(QIODevice::ReadOnly));
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("SigIgn:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16);
    ADD_FAILURE() << "no SigIgn line";
    return 0;
}

} // namespace

// Otherwise a backup growing past the file-size limit (ulimit -f) kills the tool instead of
// failing with "Stream write error".
TEST(ExecutableTest, IgnoresTheFileSizeLimitSignal) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const apptest::TargetFolder folder(scratch);
    QProcess tool;
    tool.setWorkingDirectory(folder.path());
    tool.start(KORVEX_BINARY, {});
    ASSERT_TRUE(tool.waitForStarted());
    // Attached to the database: start-up is well under way.
    QDeadlineTimer attached(60000);
    while (scratch.otherAttachments() == 0 && !attached.hasExpired())
        QThread::msleep(50);
    ASSERT_EQ(scratch.otherAttachments(), 1);

    EXPECT_TRUE(IgnoredSignals(tool.processId()) & (quint64(1) << (SIGXFSZ - 1)))
        << "SIGXFSZ is not ignored";
    tool.terminate();
    EXPECT_TRUE(tool.waitForFinished(60000));
}

// A session ending while the start-up error is up ends the tool through its ordinary shutdown,
// without the window ever opening.
TEST(ExecutableTest, ATerminationSignalDuringTheStartUpErrorEndsTheTool) {
    QTemporaryDir folder;
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LD_PRELOAD", KORVEX_PRELOAD_FIRST KORVEX_BOX_PROBE);
    env.insert("KORVEX_PROBE_LEAVE_BOXES", "1");
    tool.setProcessEnvironment(env);
    tool.start(KORVEX_BINARY, {"127.0.0.1/1:/nonexistent/KORVEX.FDB"});
    ASSERT_TRUE(tool.waitForReadyRead(60000));
    EXPECT_TRUE(tool.readAllStandardOutput().contains("\"box\":\"Error\""));
    tool.terminate();
    ASSERT_TRUE(tool.waitForFinished(30000));
    EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tool.exitCode(), 0);
    EXPECT_FALSE(tool.readAllStandardOutput().contains("\"window\""));
}
