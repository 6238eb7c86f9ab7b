// The report commands end to end: the test plays the user in the open dialog and the message
// boxes, the tool works on a scratch database on the real server, and what was stored is read
// back over a second connection.

#include "datamodule/Data.h"
#include "db/Blob.h"
#include "gui/Main.h"
#include "gui/ReportCommands.h"
#include "platform/BackupName.h"
#include "platform/Files.h"
#include "support/AppFixture.h"
#include "support/FaultClient.h"
#include "support/ModalDriver.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using apptest::ModalDriver;
using apptest::SampleLayout;
using testbed::RandomBytes;

namespace {

const QString Succeeded = "Обновяването премина УСПЕШНО";
const QString Failed = "Обновяването e НЕУСПЕШНО";
const QString AllFiles = "All Files (*.*)";

// Lowers this process's file-size limit while it lives; a write past it fails instead of
// killing the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        platform::ReportFileSizeLimitAsWriteError();
        getrlimit(RLIMIT_FSIZE, &saved_);
        const rlimit lowered{bytes, saved_.rlim_max};
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_{};
};

// Another process running a shell script on a file (as "$0") for at most a minute; the script
// says "ready" once it has done its first step. Ended with everything it started.
class Meddler {
public:
    Meddler(const QString& script, const QString& file) {
        process_.setChildProcessModifier([] { ::setpgid(0, 0); });
        process_.start("timeout", {"60", "sh", "-c", script, file});
        EXPECT_TRUE(process_.waitForReadyRead(10000));
    }
    ~Meddler() {
        ::kill(-pid_t(process_.processId()), SIGKILL);
        process_.waitForFinished();
    }

private:
    QProcess process_;
};

class UpdateReportTest : public testing::Test {
protected:
    explicit UpdateReportTest(const char* clientLibrary = db::Client::DefaultLibrary)
        : dm(clientLibrary) {}
    void SetUp() override { window.UseDataModule(dm); }

    // The tool's start-up: the report list opens on REPORTS as the test has made it.
    void Open() {
        dm.IBReports.Open();
        window.show();
    }
    void CreateAndOpen() {
        apptest::CreateReports(scratch);
        Open();
    }
    // Shows the tool what others committed since its transaction started.
    void Reopen() {
        dm.IBReports.Close();
        dm.IBT.Commit();
        dm.IBReports.Open();
    }

    // The first commit of a transaction that changed REPORTS is refused, later ones go through.
    void RefuseTheFirstCommitOfAChange() {
        scratch.execute("create exception COMMIT_REFUSED 'commit refused'");
        scratch.execute("create sequence COMMIT_REFUSALS");
        // Its current value 1 on either engine: Firebird 4's "restart with" sets the next one.
        scratch.queryValue("select gen_id(COMMIT_REFUSALS, 1 - gen_id(COMMIT_REFUSALS, 0)) "
                           "from rdb$database");
        scratch.execute("create trigger REPORTS_CHANGED for REPORTS after update as begin "
                        "rdb$set_context('USER_TRANSACTION', 'REPORTS_CHANGED', '1'); end");
        scratch.execute("create trigger REFUSE_COMMIT on transaction commit as begin "
                        "if (rdb$get_context('USER_TRANSACTION', 'REPORTS_CHANGED') = '1') then "
                        "if (gen_id(COMMIT_REFUSALS, -1) >= 0) then exception COMMIT_REFUSED; end");
    }

    void Run(const char* command) { window.findChild<QAction*>(command)->trigger(); }

    QString Template(const QString& name, const QByteArray& content = {}) {
        const QString path = templates.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        return path;
    }

    std::optional<QByteArray> Stored(const QString& id) {
        return scratch.readBlob("REPORTS", "DESCR", "ID", id.toStdString());
    }
    void ExpectNothingStoredChanged() {
        for (const QString& id : apptest::ReportIds())
            EXPECT_EQ(Stored(id), SampleLayout(id)) << id.toStdString();
        EXPECT_EQ(dm.IBReports.state(), db::Dataset::State::Browse);
    }

    QStringList Backups() const { return QDir(folder.path()).entryList({"B_*.FR3"}, QDir::Files); }
    QByteArray Backup(const QString& name) const {
        QFile file(QDir(folder.path()).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    void ExpectBox(size_t index, const QString& title, QMessageBox::Icon icon,
                   const QString& text) {
        ASSERT_GT(user.boxes.size(), index);
        const apptest::SeenBox& box = user.boxes[index];
        EXPECT_EQ(box.title, title);
        EXPECT_EQ(box.icon, icon);
        EXPECT_EQ(box.text, text);
        // Besides OK, only the disclosure of the details the box carries.
        const QStringList buttons =
            box.details.isEmpty() ? QStringList{"OK"} : QStringList{"OK", "Show Details..."};
        EXPECT_EQ(box.buttons, buttons);
    }
    void ExpectOnlyBox(const QString& title, QMessageBox::Icon icon, const QString& text) {
        EXPECT_EQ(user.boxes.size(), 1u);
        ExpectBox(0, title, icon, text);
        user.boxes.clear();
    }
    // Nothing of a refused PAYORDER_K replacement is left for a later command to commit.
    void ExpectTheNextCommandToCommitNothingOfPayorderK() {
        user.ChooseFile(Template("next.fr3", "next"));
        Run("N7");
        ExpectSuccess();
        EXPECT_EQ(Stored("PAYORDER_K"), SampleLayout("PAYORDER_K"));
        EXPECT_EQ(Stored("PAYORDER_B"), "next");
    }
    void ExpectSuccess() { ExpectOnlyBox("Information", QMessageBox::Information, Succeeded); }
    void ExpectFailure() { ExpectOnlyBox("Error", QMessageBox::Critical, Failed); }
    // The general error display, titled after this executable.
    void ExpectError(const QString& text) {
        ExpectOnlyBox("app_tests", QMessageBox::Critical, text);
    }

    fbtest::ScratchDatabase scratch;
    apptest::TargetFolder folder{scratch};
    apptest::WorkingDirectory inFolder{folder.path()};
    QTemporaryDir templateFolder;
    QDir templates{QDir(templateFolder.path()).canonicalPath()};
    TMainF window;
    TDM dm;
    ModalDriver user;
};

TEST_F(UpdateReportTest, EachCommandReachesItsOwnRow) {
    CreateAndOpen();
    for (const auto& [command, id] : ReportCommands()) {
        user.ChooseFile(Template(id + ".fr3", "new " + id.toUtf8()));
        Run(command.toUtf8().constData());
        ExpectSuccess();
        EXPECT_EQ(user.fileDialogs.back().title, "Select Report for: " + id);
    }
    for (const auto& [command, id] : ReportCommands()) {
        EXPECT_EQ(Stored(id), "new " + id.toUtf8());
        const QStringList backups = QDir(folder.path()).entryList({"B_" + id + "_*.FR3"});
        ASSERT_EQ(backups.size(), 1) << id.toStdString();
        EXPECT_EQ(Backup(backups[0]), SampleLayout(id));
    }
}

TEST_F(UpdateReportTest, ReplacesTheBytesExactlyAfterABackupThatNeverOverwrites) {
    // The tool's clock stands still, so both backups get this stamp.
    window.UseDataModule(dm, [] { return QDateTime(QDate(2023, 9, 22), QTime(8, 5, 3)); });
    const QString stamp = "230922080503";
    CreateAndOpen();
    const QByteArray large = RandomBytes(5 * platform::CopyBufferSize / 2 + 7);
    user.ChooseFile(Template("large.fr3", large));
    Run("N4");
    ExpectSuccess();
    EXPECT_EQ(Stored("PAYORDER_K"), large); // read over another connection: committed
    EXPECT_TRUE(dm.IBT.Active());

    const QString first = platform::BackupFileName("PAYORDER_K", stamp);
    ASSERT_EQ(Backups(), QStringList{first});
    EXPECT_EQ(Backup(first), SampleLayout("PAYORDER_K"));

    // The next backup's name is taken, and so is its first alternative.
    const QString taken = platform::BackupFileName("PAYORDER_K", stamp, 2);
    {
        QFile file(QDir(folder.path()).filePath(taken));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
        file.write("taken");
    }
    user.ChooseFile(Template("second.fr3", "second"));
    Run("N4");
    ExpectSuccess();
    EXPECT_EQ(Stored("PAYORDER_K"), "second");
    EXPECT_EQ(Backup(first), SampleLayout("PAYORDER_K"));
    EXPECT_EQ(Backup(taken), "taken");
    const QString added = platform::BackupFileName("PAYORDER_K", stamp, 3);
    EXPECT_EQ(Backups().size(), 3);
    EXPECT_EQ(Backup(added), large); // the first replacement's bytes, from the list's memory
}

TEST_F(UpdateReportTest, TemplatesThatCannotBeReadWholeChangeNothing) {
    CreateAndOpen();
    user.CancelFileDialog();
    Run("N4");
    EXPECT_TRUE(user.boxes.empty());

    const QString missing = templates.filePath("missing.fr3");
    user.ChooseFile(missing);
    Run("N4");
    ExpectError("Cannot open file \"" + missing + "\". No such file or directory.");

    const QString held = Template("held.fr3", "held");
    {
        const Meddler holder("exec flock -x \"$0\" -c 'echo ready; sleep 60'", held);
        user.ChooseFile(held);
        Run("N4");
    }
    ExpectError("Cannot open file \"" + held + "\". Resource temporarily unavailable.");

    const QString fifo = templates.filePath("pipe.fr3");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    user.ChooseFile(fifo, AllFiles);
    Run("N4");
    ExpectError("Cannot open file \"" + fifo + "\". Operation not supported.");

    // A directory took the name between the dialog and the open.
    const QString directory = templates.filePath("became-a-directory.fr3");
    user.ChooseFile(directory, {}, [&] { QDir().mkdir(directory); });
    Run("N4");
    ExpectError("Cannot open file \"" + directory + "\". Is a directory.");

    EXPECT_TRUE(Backups().isEmpty());
    ExpectNothingStoredChanged();
}

TEST_F(UpdateReportTest, AFileChangingWhileReadIsRefusedAndItsEditDropped) {
    CreateAndOpen();
    const QString growing = Template("growing.fr3", RandomBytes(4 * platform::CopyBufferSize));
    {
        const Meddler appender("echo ready; while :; do echo more >> \"$0\"; done", growing);
        user.ChooseFile(growing);
        Run("N4");
    }
    ExpectError("Stream read error.");
    ExpectNothingStoredChanged();
    ASSERT_EQ(Backups().size(), 1); // written before the file was read
    EXPECT_EQ(Backup(Backups()[0]), SampleLayout("PAYORDER_K"));

    // Nothing of the refused file is left to be posted by the next command.
    ExpectTheNextCommandToCommitNothingOfPayorderK();
}

TEST_F(UpdateReportTest, NoRowForTheIdentifierSaysSoAndChangesNothing) {
    CreateAndOpen();
    scratch.execute("delete from REPORTS where ID = 'VATDEC'");
    Reopen();
    user.ChooseFile(Template("vatdec.fr3", "new"));
    Run("N2");
    EXPECT_EQ(user.fileDialogs.size(), 1u);
    ExpectError("Report VATDEC was not found in REPORTS. Nothing was changed.");
    EXPECT_TRUE(Backups().isEmpty());
    EXPECT_TRUE(dm.IBT.Active());
}

// Choosing an existing file without an extension takes it as it is; a typed name that does not
// exist gets the default extension.
TEST_F(UpdateReportTest, TheDefaultExtensionGoesOnlyToNamesThatDoNotExist) {
    CreateAndOpen();
    Template("noext", "no extension");
    Template("typed.FR3", "typed");
    user.ChooseFile(templates.filePath("noext"), AllFiles);
    Run("N4");
    ExpectSuccess();
    EXPECT_EQ(Stored("PAYORDER_K"), "no extension");
    user.ChooseFile(templates.filePath("typed"));
    Run("N7");
    ExpectSuccess();
    EXPECT_EQ(Stored("PAYORDER_B"), "typed");
}

// The failure box keeps its text and tells the cause behind "Show Details...". A layout another
// user changed after the tool started cannot be replaced in this run: the details say so.
TEST_F(UpdateReportTest, TheFailureBoxTellsTheCauseAndWhatHelpsAfterAConflict) {
    CreateAndOpen();
    scratch.writeBlob("REPORTS", "DESCR", "ID", "PAYORDER_K", QByteArray("another user's"));
    user.ChooseFile(Template("new.fr3", "new"));
    Run("N4");
    ExpectBox(0, "Error", QMessageBox::Critical, Failed);
    EXPECT_TRUE(user.boxes[0].details.contains("update conflicts with concurrent update"))
        << user.boxes[0].details.toStdString();
    EXPECT_TRUE(user.boxes[0].details.contains("Restart the tool"));
    EXPECT_EQ(Stored("PAYORDER_K"), "another user's");
}

TEST_F(UpdateReportTest, BackupFailuresStopBeforeTheDatabaseIsTouched) {
    CreateAndOpen();
    const QString chosen = Template("new.fr3", "new");
    {
        // sysfs refuses new files even to root, who may write anywhere else.
        const apptest::WorkingDirectory unwritable("/sys");
        user.ChooseFile(chosen);
        Run("N4");
    }
    ASSERT_EQ(user.boxes.size(), 1u);
    EXPECT_TRUE(QRegularExpression("^Cannot create file \"/sys/B_PAYORDER_K_\\d{12}\\.FR3\"\\. "
                                   "Permission denied\\.$")
                    .match(user.boxes[0].text)
                    .hasMatch())
        << user.boxes[0].text.toStdString();
    user.boxes.clear();
    ExpectNothingStoredChanged();

    const QByteArray large = RandomBytes(64 * 1024);
    scratch.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", large);
    Reopen();
    {
        const FileSizeLimit limit(1000);
        user.ChooseFile(chosen);
        Run("N11");
    }
    ExpectError("Stream write error.");
    // Nothing is left, not even under a temporary name: a partial backup restored later would
    // store a truncated layout.
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"KORVEX.FDB"});
    EXPECT_EQ(Stored("INVOICE"), large);
    EXPECT_EQ(dm.IBReports.state(), db::Dataset::State::Browse);
}

TEST_F(UpdateReportTest, RefusedPostsRollBackAndKeepTheBackup) {
    apptest::CreateReports(scratch, "blob sub_type 0 not null");
    Open();
    user.ChooseFile(Template("empty.fr3"));
    Run("N4");
    ExpectFailure();
    ExpectNothingStoredChanged();
    EXPECT_TRUE(dm.IBT.Active());
    ASSERT_EQ(Backups().size(), 1);
    EXPECT_EQ(Backup(Backups()[0]), SampleLayout("PAYORDER_K"));

    scratch.execute("delete from REPORTS where ID = 'PAYORDER_B'"); // after the list read it
    user.ChooseFile(Template("orphan.fr3", "orphan"));
    Run("N7");
    ExpectFailure();
    EXPECT_EQ(Backups().size(), 2);
    EXPECT_EQ(dm.IBReports.state(), db::Dataset::State::Browse);
}

// The rejected update must be rolled back, not merely forgotten by the list: left pending in the
// long-lived transaction, the next successful command on any report would commit it. A retry
// backs up the stored bytes again, not the rejected ones.
TEST_F(UpdateReportTest, AFailedCommitLeavesNothingForLaterCommandsAndARetryGoesThrough) {
    apptest::CreateReports(scratch);
    RefuseTheFirstCommitOfAChange();
    Open();
    user.ChooseFile(Template("rejected.fr3", "rejected"));
    Run("N4");
    ExpectFailure();
    ExpectNothingStoredChanged();
    ExpectTheNextCommandToCommitNothingOfPayorderK();

    user.ChooseFile(Template("retry.fr3", "retry"));
    Run("N4");
    ExpectSuccess();
    EXPECT_EQ(Stored("PAYORDER_K"), "retry");
    const QStringList backups = Backups().filter("B_PAYORDER_K_");
    ASSERT_EQ(backups.size(), 2);
    for (const QString& backup : backups)
        EXPECT_EQ(Backup(backup), SampleLayout("PAYORDER_K")) << backup.toStdString();
}

TEST_F(UpdateReportTest, TheDialogOffersTheLastFileAndFilterOfAnyCommand) {
    CreateAndOpen();
    const QString chosen = Template("layout.txt", "layout");
    user.ChooseFile(chosen, AllFiles);
    Run("N4");
    ExpectSuccess();
    user.CancelFileDialog(templates.filePath("typed-then-cancelled.fr3"));
    Run("N7");
    user.CancelFileDialog();
    Run("N10");

    ASSERT_EQ(user.fileDialogs.size(), 3u);
    EXPECT_EQ(user.fileDialogs[0].filter, "Fast Reports (*.fr3)");
    for (size_t later = 1; later < 3; ++later) {
        EXPECT_EQ(user.fileDialogs[later].preselected, QStringList{chosen});
        EXPECT_EQ(user.fileDialogs[later].filter, AllFiles);
    }
    EXPECT_TRUE(user.boxes.empty());
    EXPECT_EQ(Stored("PAYORDER_K"), "layout");
}

// Without a primary key two rows can share an identifier, and the update reaches both of them.
TEST_F(UpdateReportTest, AnIdentifierSharedByTwoRowsFailsAndKeepsBoth) {
    scratch.execute("create table REPORTS (ID varchar(20) not null, DESCR blob sub_type 0, "
                    "COPY integer)");
    for (const QString& id : apptest::ReportIds())
        scratch.insertReport(id.toStdString(), SampleLayout(id));
    scratch.execute("insert into REPORTS (ID, DESCR, COPY) values ('PAYORDER_K', 'copy', 2)");
    Open();
    const auto expectBothKept = [&] {
        EXPECT_EQ(scratch.queryBlob("select DESCR from REPORTS where COPY is null and "
                                    "ID = 'PAYORDER_K'"),
                  SampleLayout("PAYORDER_K"));
        EXPECT_EQ(scratch.queryBlob("select DESCR from REPORTS where COPY = 2"), "copy");
    };
    user.ChooseFile(Template("new.fr3", "new"));
    Run("N4");
    ExpectFailure();
    expectBothKept();
    EXPECT_EQ(dm.IBReports.state(), db::Dataset::State::Browse);

    user.ChooseFile(Template("other.fr3", "other"));
    Run("N7");
    ExpectSuccess();
    expectBothKept();
}

// The window over the fault client, for failures of the client library itself.
class FaultyClientUpdateTest : public UpdateReportTest {
protected:
    FaultyClientUpdateTest() : UpdateReportTest(testbed::FaultClient::Path()) {}

    testbed::FaultClient faults;
};

// Each cleanup step of a failed update runs even when rolling back raises, so the refused edit is
// never left pending for the next command to post.
TEST_F(FaultyClientUpdateTest, ARollbackThatRaisesStillCancelsTheEditAndTellsTheUser) {
    CreateAndOpen();
    faults.reset();
    faults.fail("isc_put_segment", 2, isc_virmemexh);
    faults.fail("isc_rollback_retaining", 1, isc_req_sync);
    user.ChooseFile(Template("large.fr3", RandomBytes(3 * db::BlobSegmentSize)));
    Run("N4");
    ExpectFailure();
    EXPECT_EQ(faults.calls("isc_cancel_blob"), 1);
    EXPECT_EQ(faults.calls("isc_rollback_retaining"), 1);
    ExpectNothingStoredChanged();

    ExpectTheNextCommandToCommitNothingOfPayorderK();
}

} // namespace
