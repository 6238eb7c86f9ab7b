// korvex-reports against a server that stops answering (SIGSTOP) in the middle of a rollout:
// deadlines and termination signals end the work there, and what was done stays said.

#include "support/AppFixture.h"
#include "support/HeldLayout.h"
#include "support/JsonLines.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>

using apptest::SampleLayout;

namespace {

const QByteArray Layout("the new layout");

class HungServerTest : public testing::Test {
protected:
    HungServerTest() {
        for (fbtest::ScratchDatabase* scratch : {&first, &hung, &second, &last})
            apptest::CreateReports(*scratch);
        QFile file(chosen);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(Layout) == Layout.size());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("ISC_USER");
        environment.remove("ISC_PASSWORD");
        reports.setProcessEnvironment(environment);
        reports.setWorkingDirectory(folder.path());
        reports.setStandardOutputFile(output);
    }
    ~HungServerTest() override {
        if (reports.state() != QProcess::NotRunning) {
            reports.kill();
            reports.waitForFinished();
        }
    }
    static fbtest::ServerInstance& server() {
        static fbtest::ServerInstance instance;
        return instance;
    }

    void StartRollout(const QStringList& options) {
        StartReplace({first.target(), hung.target(), last.target()}, options);
    }
    void StartReplace(const QStringList& targets, const QStringList& options) {
        QStringList arguments{"replace", "INVOICE", chosen};
        for (const QString& target : targets)
            arguments << "-d" << target;
        reports.start(KORVEX_REPORTS_BINARY, arguments + options);
        ASSERT_TRUE(reports.waitForStarted());
    }
    QStringList Lines() const { return Output().split('\n', Qt::SkipEmptyParts); }
    // The exit status, or -1 when it did not end within the bound (or crashed).
    int ExitWithin(int ms) {
        if (!reports.waitForFinished(ms))
            return -1;
        return reports.exitStatus() == QProcess::NormalExit ? reports.exitCode() : -1;
    }
    QString Output() const {
        QFile file(output);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QString Errors() { return QString::fromUtf8(reports.readAllStandardError()); }
    static std::optional<QByteArray> Stored(fbtest::ScratchDatabase& scratch) {
        return scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE");
    }

    fbtest::ScratchDatabase first;
    fbtest::ScratchDatabase hung{1, server().port()};
    fbtest::ScratchDatabase second;
    fbtest::ScratchDatabase last;
    QTemporaryDir folder;
    const QString missing = "127.0.0.1:" + folder.filePath("missing.fdb");
    const QString chosen = folder.filePath("new.fr3");
    const QString output = folder.filePath("out.log");
    QProcess reports;
};

// Stopped while the tool's update waits for another user's lock: the cancel gets no answer, so the
// connection is dropped, and the next database is done.
TEST_F(HungServerTest, ADeadlineEndsTheWorkOnAStoppedServerAndTheRolloutGoesOn) {
    apptest::HeldLayout other(hung.target(), "INVOICE");
    StartRollout({"--timeout", "5"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return hung.running("update REPORTS"); }, 60000));
    {
        const fbtest::StoppedServer stopped(server());
        EXPECT_EQ(ExitWithin(60000), 1);
    }
    const QStringList lines = Output().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << Output().toStdString();
    EXPECT_TRUE(lines[0].startsWith(first.target() + ": replaced INVOICE"));
    EXPECT_EQ(lines[1], hung.target() + ": FAILED INVOICE: nothing stored was changed");
    EXPECT_TRUE(lines[2].startsWith(last.target() + ": replaced INVOICE"));
    EXPECT_TRUE(Errors().contains(hung.target() + ": timed out after 5 s"));
    other.Release();
    EXPECT_EQ(Stored(hung), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored(last), Layout);
}

// A connect that the stopped server never answers, one database at a time: the signal ends it,
// and the log keeps the line of the database done before.
TEST_F(HungServerTest, ATerminationSignalEndsARunStuckOnAStoppedServer) {
    {
        const fbtest::StoppedServer stopped(server());
        StartRollout({"--jobs", "1"});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Output().isEmpty(); }, 60000));
        QTest::qWait(500); // into the connect to the stopped server
        ::kill(static_cast<pid_t>(reports.processId()), SIGTERM);
        EXPECT_EQ(ExitWithin(10000), 4);
    }
    EXPECT_TRUE(Output().startsWith(first.target() + ": replaced INVOICE"))
        << Output().toStdString();
    const QString errors = Errors();
    EXPECT_TRUE(errors.contains(hung.target() + ": interrupted by SIGTERM"))
        << errors.toStdString();
    EXPECT_TRUE(errors.contains("interrupted by SIGTERM; 1 database(s) not started"));
    hung.reconnect();
    EXPECT_EQ(Stored(hung), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored(last), SampleLayout("INVOICE"));
}

TEST_F(HungServerTest, AConnectToAStoppedServerEndsByTheConnectTimeout) {
    const fbtest::StoppedServer stopped(server());
    reports.start(KORVEX_REPORTS_BINARY, {"list", "-d", hung.target(), "--connect-timeout", "2"});
    // The client library's own limit is 180 s, the default 15 s. A failed check ends the test
    // here, and the server goes on again.
    ASSERT_EQ(ExitWithin(10000), 1);
    const QString errors = Errors();
    EXPECT_TRUE(errors.contains(hung.target() + ": the server did not answer within 2 s\n"))
        << errors.toStdString();

    // JSON tells the database's failure as standard error does.
    reports.start(KORVEX_REPORTS_BINARY, {"list", "--json", "-d", hung.target(), "--timeout", "1"});
    ASSERT_EQ(ExitWithin(10000), 1);
    const QList<QJsonObject> objects = apptest::JsonLines(Output().toUtf8());
    ASSERT_FALSE(objects.isEmpty());
    EXPECT_EQ(objects[0]["error"].toString().toStdString(), "timed out after 1 s");
}

// Several at once: the connect to the stopped server holds its one slot until the deadline, the
// others go on, and each line comes as soon as every earlier database's is out.
TEST_F(HungServerTest, InParallelAStoppedServerCostsOneSlotAndTheLinesKeepTheOrder) {
    const fbtest::StoppedServer stopped(server());
    StartReplace({first.target(), missing, hung.target(), second.target(), last.target()},
                 {"--jobs", "3", "--timeout", "3"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Lines().size() == 2; }, 30000))
        << Output().toStdString();
    EXPECT_EQ(reports.state(), QProcess::Running); // the later ones wait behind the stopped one
    EXPECT_EQ(ExitWithin(30000), 1);
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 6) << Output().toStdString();
    EXPECT_TRUE(lines[0].startsWith(first.target() + ": replaced INVOICE"));
    EXPECT_EQ(lines[1], missing + ": FAILED INVOICE: nothing stored was changed");
    EXPECT_EQ(lines[2], hung.target() + ": FAILED INVOICE: nothing stored was changed");
    EXPECT_TRUE(lines[3].startsWith(second.target() + ": replaced INVOICE"));
    EXPECT_TRUE(lines[4].startsWith(last.target() + ": replaced INVOICE"));
    EXPECT_EQ(lines[5], "5 database(s): 3 replaced, 0 unchanged, 2 failed");
    EXPECT_TRUE(Errors().contains(hung.target() + ": timed out after 3 s"));
}

// Every slot stuck in a connect: the signal ends the run within seconds, the database done is
// told, and the one never started stays as it was.
TEST_F(HungServerTest, ATerminationSignalEndsAParallelRunWithTheLinesOfTheDatabasesDone) {
    const fbtest::StoppedServer stopped(server());
    // Named the same twice it would be worked on once: the second name takes another path to it.
    QString hungAgain = hung.target();
    hungAgain.insert(hungAgain.lastIndexOf(u'/'), "/.");
    StartReplace({first.target(), hung.target(), hungAgain, last.target()}, {"--jobs", "2"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Output().isEmpty(); }, 30000));
    QTest::qWait(500); // both slots into the connect to the stopped server
    QDeadlineTimer bound(6000);
    ::kill(static_cast<pid_t>(reports.processId()), SIGTERM);
    EXPECT_EQ(ExitWithin(10000), 4);
    EXPECT_FALSE(bound.hasExpired());
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 4) << Output().toStdString();
    EXPECT_TRUE(lines[0].startsWith(first.target() + ": replaced INVOICE"));
    EXPECT_EQ(lines[1], hung.target() + ": FAILED INVOICE: nothing stored was changed");
    EXPECT_EQ(lines[2], hungAgain + ": FAILED INVOICE: nothing stored was changed");
    EXPECT_EQ(lines[3], "3 database(s): 1 replaced, 0 unchanged, 2 failed");
    EXPECT_TRUE(Errors().contains("interrupted by SIGTERM; 1 database(s) not started"));
    EXPECT_EQ(Stored(last), SampleLayout("INVOICE"));
}

// Interrupted while the tool waits for another user's lock: the summary, the journal and what is
// stored agree on each database, and the one never started has no line.
TEST_F(HungServerTest, AnInterruptedRolloutsSummaryAndJournalAgreeWithWhatIsStored) {
    apptest::HeldLayout other(hung.target(), "INVOICE");
    StartRollout({"--jobs", "1", "--json"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return hung.running("update REPORTS"); }, 60000));
    ::kill(static_cast<pid_t>(reports.processId()), SIGTERM);
    EXPECT_EQ(ExitWithin(30000), 4);
    other.Release();

    const QList<QJsonObject> objects = apptest::JsonLines(Output().toUtf8());
    ASSERT_EQ(objects.size(), 3) << Output().toStdString();
    EXPECT_EQ(objects[1]["error"].toString().toStdString(), "interrupted by SIGTERM");
    const QJsonObject& summary = objects[2];
    EXPECT_EQ(summary["replaced"].toInt(), 1);
    EXPECT_EQ(summary["failed"].toInt(), 1);
    EXPECT_EQ(summary["not_started"].toArray(), QJsonArray{last.target()});
    QFile file(QDir(folder.path()).filePath("korvex-journal.jsonl"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QJsonObject> journal = apptest::JsonLines(file.readAll());
    ASSERT_EQ(journal.size(), 4);
    EXPECT_EQ(journal[3]["event"].toString(), "summary");
    EXPECT_EQ(journal[3]["not_started"].toArray(), QJsonArray{last.target()});
    EXPECT_EQ(journal[0]["event"].toString(), "prepare");
    EXPECT_EQ(journal[1], objects[0]);
    EXPECT_EQ(journal[2], objects[1]);
    EXPECT_EQ(Stored(first), Layout);
    EXPECT_EQ(Stored(hung), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored(last), SampleLayout("INVOICE"));
}

} // namespace
