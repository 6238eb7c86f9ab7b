// Undo trusts only what the journal recorded, and the journal keeps every run's lines readable:
// korvex-reports run as a process against scratch databases, what it stored read back.

#include "CommitGate.h"
#include "ReportsFixture.h"
#include "platform/Files.h"
#include "support/AppFixture.h"

#include <QJsonDocument>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <unistd.h>

using apptest::SampleLayout;
using namespace clitest;

namespace {

class UndoJournalTest : public KorvexReportsTest {
protected:
    static std::optional<QByteArray> Stored(fbtest::ScratchDatabase& database) {
        return database.readBlob("REPORTS", "DESCR", "ID", "INVOICE");
    }
    // Replaces INVOICE with "new" on the databases, one after the other; returns the run.
    QString Rollout(const QList<fbtest::ScratchDatabase*>& databases) {
        QStringList arguments{"replace", "INVOICE", File("new.fr3", "new"),
                              "--json",  "--jobs",  "1"};
        for (const fbtest::ScratchDatabase* database : databases)
            arguments << "-d" << database->target();
        const ProgramRun run = Reports(arguments);
        EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
        return apptest::JsonLines(run.out).value(0)["run"].toString();
    }
    // The journal's prepare line for the database.
    QJsonObject Prepared(const fbtest::ScratchDatabase& database) const {
        for (const QJsonObject& line : Journal())
            if (line["event"] == "prepare" && line["target"] == database.target())
                return line;
        ADD_FAILURE() << "no prepare line for " << database.target().toStdString();
        return {};
    }
    // The journal rewritten line by line, as an editor or a crash may leave it.
    void Rewrite(const std::function<QList<QJsonObject>(const QJsonObject&)>& edit) const {
        QByteArray text;
        for (const QJsonObject& line : Journal())
            for (const QJsonObject& written : edit(line))
                text += QJsonDocument(written).toJson(QJsonDocument::Compact) + '\n';
        QFile file(JournalPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
};

void Overwrite(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// A backup edited or swapped for a link since the run is not stored, nor is anything over a
// change of the same size that another user made; the rest is taken back.
TEST_F(UndoJournalTest, UndoStoresOnlyTheBackupAndOverOnlyTheLayoutTheJournalRecorded) {
    fbtest::ScratchDatabase edited, linked, taken, kept;
    for (fbtest::ScratchDatabase* database : {&edited, &linked, &taken, &kept})
        apptest::CreateReports(*database);
    const QString runId = Rollout({&edited, &linked, &taken, &kept});
    const std::optional<std::string> engine =
        edited.queryValue("select rdb$get_context('SYSTEM', 'ENGINE_VERSION') from rdb$database");
    ASSERT_TRUE(engine);
    EXPECT_EQ(Prepared(edited)["engine"].toString(), QString::fromStdString(*engine))
        << "the journal names the engine the run reached";
    const QString editedBackup = Prepared(edited)["backup"].toString();
    QByteArray sameSize = SampleLayout("INVOICE");
    sameSize[0] = char(sameSize[0] ^ 1);
    Overwrite(editedBackup, sameSize);
    const QString linkedBackup = Prepared(linked)["backup"].toString();
    ASSERT_TRUE(QFile::remove(linkedBackup));
    ASSERT_TRUE(QFile::link(File("B_PAYORDER_K_230922080503.FR3", SampleLayout("PAYORDER_K")),
                            linkedBackup));
    taken.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", QByteArray("NEW"));

    // A dry run tells what the undo would come to, the refusal included.
    ProgramRun run = Reports({"undo", runId, "--dry-run", "-d", edited.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains(edited.target() + ": The file " + editedBackup +
                                    " holds other bytes than expected"))
        << run.errors.toStdString();

    run = Reports({"undo", runId});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Stored(edited), "new");
    EXPECT_EQ(Stored(linked), "new");
    EXPECT_EQ(Stored(taken), "NEW");
    EXPECT_EQ(Stored(kept), SampleLayout("INVOICE"));
    EXPECT_TRUE(run.errors.contains(
        edited.target() + ": The file " + editedBackup + " holds other bytes than expected (" +
        QString::number(sameSize.size()) + " bytes, SHA-256 " + Sha256(sameSize) + ", where " +
        QString::number(sameSize.size()) + " bytes, SHA-256 " + Sha256(SampleLayout("INVOICE")) +
        " were expected)"))
        << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains(linked.target() + ": Cannot open file \"" + linkedBackup +
                                    "\". It is a symbolic link, which is not followed"));
    EXPECT_TRUE(run.out.contains(taken.target().toUtf8() + ": SKIPPED INVOICE"));
    EXPECT_TRUE(run.out.endsWith("4 database(s): 1 replaced, 0 unchanged, 3 failed\n"))
        << run.out.toStdString();

    // Put right, the backup goes back; what is back already is left as it is.
    Overwrite(editedBackup, SampleLayout("INVOICE"));
    run = Reports({"undo", runId, "-d", edited.target(), "-d", kept.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored(edited), SampleLayout("INVOICE"));
    EXPECT_TRUE(run.out.endsWith("2 database(s): 1 replaced, 1 unchanged, 0 failed\n"))
        << run.out.toStdString();
}

// Run again, an interrupted undo is finished, not reversed: --last never picks an undo, which is
// taken back only by its name. Named databases, in any spelling, narrow an undo down to them.
TEST_F(UndoJournalTest, AnInterruptedUndoIsFinishedByRunningItAgain) {
    fbtest::ScratchDatabase first, second;
    for (fbtest::ScratchDatabase* database : {&first, &second})
        apptest::CreateReports(*database);
    Rollout({&first, &second});
    const QString otherSpelling = "localhost:" + first.target().section(':', 1);

    ProgramRun run = Reports({"undo", "--last", "-d", otherSpelling});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored(first), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored(second), "new");
    const QString undoId = Journal().last()["run"].toString();

    run = Reports({"undo", "--last"});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored(first), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored(second), SampleLayout("INVOICE"));
    EXPECT_TRUE(run.out.endsWith("2 database(s): 1 replaced, 1 unchanged, 0 failed\n"))
        << run.out.toStdString();

    run = Reports({"undo", undoId});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored(first), "new");
    EXPECT_EQ(Stored(second), SampleLayout("INVOICE"));
}

// Whatever the lines of another attempt on the same database say, an attempt that replaced the
// layout, whose commit was in doubt or that never told its outcome is taken back.
TEST_F(UndoJournalTest, EveryAttemptThatMayHoldTheRunsBytesIsTakenBack) {
    fbtest::ScratchDatabase twice, doubted;
    for (fbtest::ScratchDatabase* database : {&twice, &doubted})
        apptest::CreateReports(*database);
    const QString runId = Rollout({&twice, &doubted});
    // Named twice: the second attempt failed while the first was between its two lines.
    Rewrite([&](const QJsonObject& line) -> QList<QJsonObject> {
        QJsonObject changed = line;
        if (line["target"] == doubted.target() && line["event"] == "outcome") {
            changed["outcome"] = "in-doubt";
            return {changed};
        }
        if (line["target"] != twice.target())
            return {line};
        changed["backup"] = folder.filePath("B_INVOICE_230922080503_2.FR3");
        if (line["event"] == "prepare")
            return {line, changed};
        changed["outcome"] = "failed";
        return {changed, line};
    });
    ASSERT_EQ(Journal().size(), 6);

    const ProgramRun run = Reports({"undo", runId, "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored(twice), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored(doubted), SampleLayout("INVOICE"));
    EXPECT_EQ(apptest::JsonLines(run.out).last()["replaced"].toInt(), 2) << run.out.toStdString();
}

// The server dies with the commit in flight: the JSON summary counts the database in doubt, and
// once the server is back, undo acts on it as on any database that may hold the run's bytes.
TEST_F(UndoJournalTest, ACommitInDoubtIsCountedAndUndoActsOnIt) {
    fbtest::ServerInstance server;
    fbtest::ScratchDatabase dying{1, server.port()};
    apptest::CreateReports(dying);
    CommitGate gate(dying);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder.path());
    process.start(KORVEX_REPORTS_BINARY,
                  {"replace", "INVOICE", File("new.fr3", "new"), "-d", dying.target(), "--json"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return gate.reached(); }, 60000));
    server.kill();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 3);
    const QJsonObject summary = apptest::JsonLines(process.readAllStandardOutput()).last();
    EXPECT_EQ(summary["in_doubt"].toInt(), 1);
    EXPECT_EQ(summary["failed"].toInt(), 0);

    server.start();
    dying.reconnect();
    const ProgramRun run = Reports({"undo", "--last"});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(run.out, dying.target().toUtf8() +
                           ": unchanged INVOICE: it already holds the bytes of " +
                           Journal().first()["backup"].toString().toUtf8() +
                           "\n1 database(s): 0 replaced, 1 unchanged, 0 failed\n");
    EXPECT_EQ(Stored(dying), SampleLayout("INVOICE"));
}

// A run after a journal left without its last line break, and a line nobody can read, hide no
// run's lines: each is undone, and the unreadable line is told once.
TEST_F(UndoJournalTest, NoLineOfTheJournalHidesAnother) {
    fbtest::ScratchDatabase first, second;
    for (fbtest::ScratchDatabase* database : {&first, &second})
        apptest::CreateReports(*database);
    const QString firstRun = Rollout({&first});
    const QByteArray firstLines = ReadFile(JournalPath());
    ASSERT_EQ(::truncate(QFile::encodeName(JournalPath()), firstLines.size() - 1), 0);
    const QString secondRun = Rollout({&second});
    EXPECT_TRUE(ReadFile(JournalPath()).startsWith(firstLines)); // not overwritten
    EXPECT_EQ(Journal().size(), 4);

    QFile journal(JournalPath());
    ASSERT_TRUE(journal.open(QIODevice::Append));
    journal.write("{\"run\": \"" + secondRun.toUtf8() + "\", \"event\": \"prep\n");
    journal.close();

    ProgramRun run = Reports({"undo", "--last"});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored(second), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored(first), "new");
    EXPECT_EQ(run.errors.count("is not a journal entry; passed over"), 1)
        << run.errors.toStdString();

    run = Reports({"undo", firstRun});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored(first), SampleLayout("INVOICE"));
}

// Another process holding the journal's lock holds a run no longer than its deadline or a
// termination signal allows, and nothing is stored meanwhile; a journal that is a link is refused.
TEST_F(UndoJournalTest, TheJournalsLockGivesWayAndItsLinkIsRefused) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const QString chosen = File("new.fr3", "new");
    File("korvex-journal.jsonl", "");
    {
        const platform::FileDescriptor holder(
            ::open(QFile::encodeName(JournalPath()).constData(), O_RDONLY));
        ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
        ProgramRun run =
            Reports({"replace", "INVOICE", chosen, "-d", scratch.target(), "--timeout", "2"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.errors.contains(scratch.target() + ": timed out after 2 s"))
            << run.errors.toStdString();

        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder.path());
        process.start(KORVEX_REPORTS_BINARY,
                      {"replace", "INVOICE", chosen, "-d", scratch.target()});
        ASSERT_TRUE(QTest::qWaitFor([&] { return Backups("INVOICE").size() == 2; }, 60000));
        QTest::qWait(500); // on to the journal
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        EXPECT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitCode(), 4);
        EXPECT_EQ(Stored(scratch), SampleLayout("INVOICE"));
    }

    ASSERT_TRUE(QFile::remove(JournalPath()));
    const QString passwd = File("passwd", "root:x:0:0\n");
    ASSERT_TRUE(QFile::link(passwd, JournalPath()));
    const ProgramRun run = Reports({"replace", "INVOICE", chosen, "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.errors.contains("It is a symbolic link, which is not followed"))
        << run.errors.toStdString();
    EXPECT_EQ(ReadFile(passwd), "root:x:0:0\n");
    EXPECT_EQ(Stored(scratch), SampleLayout("INVOICE"));
    EXPECT_EQ(Reports({"undo", "--last"}).exitCode, 2);
}

} // namespace
