// korvex-reports as an administrator runs it: a process against scratch databases on the real
// server, its files read back byte for byte and its database work over a second connection.

#include "CommitGate.h"
#include "ReportsFixture.h"
#include "db/Database.h"
#include "db/Statement.h"
#include "db/Transaction.h"
#include "platform/BackupFolder.h"
#include "platform/Files.h"
#include "support/AppFixture.h"
#include "support/HeldLayout.h"
#include "support/JsonLines.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using apptest::SampleLayout;
using namespace clitest;

namespace {

class ByteExactTest : public KorvexReportsTest, public testing::WithParamInterface<const char*> {
protected:
    ByteExactTest() {
        apptest::CreateReports(scratch, GetParam());
        target = scratch.target();
    }
    std::optional<QByteArray> Stored(const QString& id) {
        return scratch.readBlob("REPORTS", "DESCR", "ID", id.toStdString());
    }

    fbtest::ScratchDatabase scratch;
    QString target;
};

TEST_P(ByteExactTest, ListExportReplaceAndRestoreMoveTheBytesWhole) {
    ProgramRun run = Reports({"list", "-d", target});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    QStringList expected;
    for (const QString& id : apptest::ReportIds())
        expected << QStringLiteral("%1\t%2\t%3")
                        .arg(id)
                        .arg(SampleLayout(id).size())
                        .arg(Sha256(SampleLayout(id)));
    EXPECT_EQ(QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts), expected);

    run = Reports({"list", "--json", "-d", target});
    const QList<QJsonObject> objects = apptest::JsonLines(run.out);
    ASSERT_EQ(objects.size(), 2) << run.out.toStdString();
    const QJsonObject& listed = objects[0];
    EXPECT_EQ(listed["target"].toString(), target);
    EXPECT_EQ(objects[1]["event"].toString(), "summary");
    EXPECT_EQ(listed["reports"].toArray()[3].toObject()["sha256"].toString(),
              Sha256(SampleLayout("INVOICE")));
    EXPECT_TRUE(listed["engine"].toString().contains(QRegularExpression("^\\d+\\.\\d+\\.\\d+$")))
        << listed["engine"].toString().toStdString();

    EXPECT_EQ(Reports({"export", "INVOICE", "-", "-d", target}).out, SampleLayout("INVOICE"));
    EXPECT_EQ(Reports({"export", "INVOICE", "out.fr3", "-d", target}).exitCode, 0);
    EXPECT_EQ(ReadFile(folder.filePath("out.fr3")), SampleLayout("INVOICE"));

    const QByteArray layout = QByteArray("\0\x01\r\n\xC3\xA9\xFF", 7).repeated(300000);
    const QString chosen = File("new.fr3", layout);
    run = Reports({"replace", "INVOICE", chosen, "-d", target, "--dry-run"});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored("INVOICE"), SampleLayout("INVOICE"));
    ASSERT_EQ(Backups("INVOICE").size(), 1);

    run = Reports({"replace", "INVOICE", chosen, "-d", target});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored("INVOICE"), layout);
    const QStringList backups = Backups("INVOICE");
    ASSERT_EQ(backups.size(), 2);
    EXPECT_TRUE(QRegularExpression("^" +
                                   QRegularExpression::escape(platform::BackupFolderName(target)) +
                                   "/B_INVOICE_\\d{12}(_2)?\\.FR3$")
                    .match(backups[1])
                    .hasMatch())
        << backups[1].toStdString();
    for (const QString& backup : backups)
        EXPECT_EQ(ReadFile(folder.filePath(backup)), SampleLayout("INVOICE"));
    EXPECT_TRUE(run.out.contains(Sha256(layout).toUtf8()));
    EXPECT_TRUE(run.out.contains(Sha256(SampleLayout("INVOICE")).toUtf8()));

    // Run again, a rollout changes nothing where it is done already.
    run = Reports({"replace", "INVOICE", chosen, "-d", target});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.out.contains("unchanged INVOICE")) << run.out.toStdString();
    EXPECT_EQ(Backups("INVOICE").size(), 2);

    run = Reports({"restore", "INVOICE", "-d", target});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored("INVOICE"), SampleLayout("INVOICE"));
    EXPECT_EQ(Backups("INVOICE").size(), 3); // what the restore replaced, backed up as always

    // Of the stored size but one byte off: compared to the end, then sent from its start.
    QByteArray changed = SampleLayout("INVOICE");
    changed.back() = char(changed.back() ^ 1);
    run = Reports({"replace", "INVOICE", File("changed.fr3", changed), "-d", target});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored("INVOICE"), changed);
}

INSTANTIATE_TEST_SUITE_P(DescrTypes, ByteExactTest,
                         testing::Values("blob sub_type 0", "blob sub_type 1"),
                         [](const testing::TestParamInfo<const char*>& type) {
                             return std::string(type.index == 0 ? "Binary" : "Text");
                         });

TEST_F(KorvexReportsTest, ARolloutGoesOnPastADatabaseThatRefusesAndSaysSo) {
    fbtest::ScratchDatabase first, refusing, last;
    for (fbtest::ScratchDatabase* database : {&first, &refusing, &last})
        apptest::CreateReports(*database);
    refusing.execute("create exception REFUSED 'layouts are frozen'");
    refusing.execute("create trigger FREEZE for REPORTS before update as begin "
                     "exception REFUSED; end");
    const QString targets = File("targets.txt", "# rollout\n" + refusing.target().toUtf8() +
                                                    "\n\n" + last.target().toUtf8() + "\n");

    environment.insert("LD_DEBUG", "files"); // the loader tells each library it initialises
    const ProgramRun run = Reports({"replace", "VATDEC", File("vatdec.fr3", "v2"), "-d",
                                    first.target(), "--targets", targets});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(first.readBlob("REPORTS", "DESCR", "ID", "VATDEC"), "v2");
    EXPECT_EQ(refusing.readBlob("REPORTS", "DESCR", "ID", "VATDEC"), SampleLayout("VATDEC"));
    EXPECT_EQ(last.readBlob("REPORTS", "DESCR", "ID", "VATDEC"), "v2");
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
    EXPECT_TRUE(lines[1].startsWith(refusing.target() + ": FAILED VATDEC"));
    EXPECT_EQ(lines[3], "3 database(s): 2 replaced, 0 unchanged, 1 failed");
    EXPECT_TRUE(run.errors.contains("layouts are frozen")) << run.errors.toStdString();
    // Loaded once for all three: each reload would cost the rollout some 50 ms per database.
    EXPECT_EQ(run.errors.count(QRegularExpression("calling init: \\S*/libfbclient\\.so")), 1);
}

TEST_F(KorvexReportsTest, ADatabaseThatCannotBeOpenedCountsAsFailed) {
    const ProgramRun run = Reports({"replace", "VATDEC", File("vatdec.fr3", "v2"), "-d",
                                    "127.0.0.1:" + folder.filePath("MISSING.FDB")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains(", 1 failed")) << run.out.toStdString();
}

TEST_F(KorvexReportsTest, RestoreTakesTheNewestBackupOfItsOwnIdentifierOnly) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    File("B_INVOICE_230922080503.FR3", "first");
    File("B_INVOICE_230922080503_2.FR3", "second");
    const QString other = File("B_VATDEC_231001000000.FR3", "a newer VATDEC");
    ProgramRun run = Reports({"restore", "INVOICE", "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), "second");

    // restore takes replace's options, and looks for the newest backup in that folder.
    ASSERT_TRUE(QDir(folder.path()).mkdir("kept"));
    File("kept/B_INVOICE_240101000000.FR3", "kept");
    run = Reports(
        {"restore", "INVOICE", "-d", scratch.target(), "--backup-dir", "kept", "--dry-run"});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_TRUE(run.out.contains("would store 4 bytes")) << run.out.toStdString();
    // The dry run's backup went to kept/, into the database's own folder.
    EXPECT_EQ(Backups("INVOICE")
                  .filter(QRegularExpression(
                      "^kept/" +
                      QRegularExpression::escape(platform::BackupFolderName(scratch.target())) +
                      "/B_INVOICE_"))
                  .size(),
              1);
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), "second");

    run = Reports({"restore", "INVOICE", other, "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.errors.contains("is a backup of VATDEC, not of INVOICE"))
        << run.errors.toStdString();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), "second");
}

// Each database's backups in a folder of its own, so a restore without a file takes each
// database's own layout back, and no two of them share a folder.
TEST_F(KorvexReportsTest, EachDatabaseIsRestoredFromItsOwnFolder) {
    fbtest::ScratchDatabase first, second;
    for (fbtest::ScratchDatabase* database : {&first, &second})
        apptest::CreateReports(*database);
    second.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", QByteArray("second's own"));
    const QStringList targets = {"-d", first.target(), "-d", second.target()};
    ProgramRun run = Reports(QStringList{"replace", "INVOICE", File("new.fr3", "new")} + targets);
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    const QStringList backups = Backups("INVOICE");
    ASSERT_EQ(backups.size(), 2) << backups.join(' ').toStdString();
    for (fbtest::ScratchDatabase* database : {&first, &second}) {
        const QString own = platform::BackupFolderName(database->target()) + '/';
        EXPECT_EQ(backups.filter(QRegularExpression('^' + QRegularExpression::escape(own))).size(),
                  1)
            << own.toStdString();
    }
    EXPECT_TRUE(QFileInfo(JournalPath()).isFile()) << "the journal stays above the folders";
    run = Reports(QStringList{"restore", "INVOICE"} + targets);
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(first.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), SampleLayout("INVOICE"));
    EXPECT_EQ(second.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), "second's own");
}

// A device or a pipe is written where it is: renamed over, it would be gone for everyone.
TEST_F(KorvexReportsTest, ExportWritesDevicesAndPipesInPlace) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const QString fifo = folder.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const platform::FileDescriptor reader(::open(QFile::encodeName(fifo).constData(), O_RDWR));
    ProgramRun run = Reports({"export", "INVOICE", fifo, "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    QByteArray piped(SampleLayout("INVOICE").size(), '\0');
    EXPECT_EQ(::read(reader.get(), piped.data(), piped.size()), piped.size());
    EXPECT_EQ(piped, SampleLayout("INVOICE"));

    run = Reports({"export", "INVOICE", "/dev/stdout", "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(run.out, SampleLayout("INVOICE"));
    EXPECT_FALSE(QFileInfo(fifo).isFile());

    // Device nodes of the test's own, so that a regression replaces nothing of the machine's.
    const QString null = folder.filePath("null"), full = folder.filePath("full");
    if (::mknod(QFile::encodeName(null).constData(), S_IFCHR | 0600, makedev(1, 3)) != 0 ||
        ::mknod(QFile::encodeName(full).constData(), S_IFCHR | 0600, makedev(1, 7)) != 0)
        GTEST_SKIP() << "cannot make device nodes here: " << std::strerror(errno);
    EXPECT_EQ(Reports({"export", "INVOICE", null, "-d", scratch.target()}).exitCode, 0);
    run = Reports({"export", "INVOICE", full, "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains("Stream write error. No space left on device"))
        << run.errors.toStdString();
    for (const QString& path : {null, full})
        EXPECT_TRUE(QFileInfo(path).exists() && !QFileInfo(path).isFile()) << path.toStdString();
}

// Failures on the database's side of a command: the reason on standard error, exit 1, nothing
// written where it cannot be whole.
TEST_F(KorvexReportsTest, ExportAndRestoreFailuresSayWhyAndLeaveNothing) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    ProgramRun run = Reports({"restore", "INVOICE", "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains("No backup of INVOICE (B_INVOICE_*.FR3) in "))
        << run.errors.toStdString();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), SampleLayout("INVOICE"));

    run = Reports({"export", "INVOICE", "/sys/invoice.fr3", "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains("Cannot create file \"/sys/invoice.fr3\"."))
        << run.errors.toStdString();
    run = Reports({"export", "NOSUCH", "out.fr3", "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains("Report NOSUCH was not found in REPORTS"));

    fbtest::ScratchDatabase shared; // no key: two rows can share an identifier
    shared.execute("create table REPORTS (ID varchar(20) not null, DESCR blob sub_type 0)");
    shared.insertReport("INVOICE", QByteArray("one"));
    shared.insertReport("INVOICE", QByteArray("two"));
    run = Reports({"export", "INVOICE", "out.fr3", "-d", shared.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains("the report identifier is not unique"))
        << run.errors.toStdString();
    EXPECT_FALSE(QFile::exists(QDir(folder.path()).filePath("out.fr3")));
}

// Four databases, four answers, in the targets' order; a script tells drift by the exit code.
TEST_F(KorvexReportsTest, StatusTellsWhichDatabasesHoldTheFile) {
    fbtest::ScratchDatabase same, other, noRow;
    for (fbtest::ScratchDatabase* database : {&same, &other, &noRow})
        apptest::CreateReports(*database);
    const QByteArray layout = QByteArray("\xFF\x80 new\r\n\0", 9).repeated(10000);
    same.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", layout);
    noRow.execute("delete from REPORTS where ID = 'INVOICE'");
    const QString missing = "127.0.0.1:" + folder.filePath("MISSING.FDB");
    const QString file = File("invoice.fr3", layout);
    const QString hash = QString::fromStdString(*other.queryValue(
        "select cast(hash(DESCR) as varchar(21)) from REPORTS where ID = 'INVOICE'"));
    const QStringList all{"-d", same.target(),  "-d", other.target(),
                          "-d", noRow.target(), "-d", missing};

    ProgramRun run = Reports(QStringList{"status", "INVOICE", file} + all);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts),
              QStringList({same.target() + ": same INVOICE: 90000 bytes",
                           QStringLiteral("%1: other INVOICE: %2 bytes, server hash %3")
                               .arg(other.target())
                               .arg(SampleLayout("INVOICE").size())
                               .arg(hash),
                           noRow.target() + ": no row INVOICE", missing + ": unreachable INVOICE",
                           "4 database(s): 1 same, 1 other, 1 no row, 1 unreachable"}));
    EXPECT_TRUE(run.errors.contains(missing + ": I/O error")) << run.errors.toStdString();

    run = Reports(QStringList{"status", "INVOICE", file, "--json"} + all);
    const QList<QJsonObject> objects = apptest::JsonLines(run.out);
    ASSERT_EQ(objects.size(), 5) << run.out.toStdString();
    QStringList states;
    for (const QJsonObject& object : objects.first(4))
        states << object["state"].toString();
    EXPECT_EQ(states, QStringList({"same", "other", "no-row", "unreachable"}));
    EXPECT_EQ(objects[0]["file_size"].toInt(), 90000);
    EXPECT_EQ(objects[1]["hash"].toString(), hash);
    EXPECT_FALSE(objects[2].contains("size"));
    EXPECT_FALSE(objects[3]["error"].toString().isEmpty());
    EXPECT_TRUE(objects[0].contains("engine"));
    EXPECT_FALSE(objects[3].contains("engine")) << "an unreachable database names none";
    for (const char* count : {"same", "other", "no_row", "unreachable"})
        EXPECT_EQ(objects[4][count].toInt(), 1) << count;
    EXPECT_EQ(objects[4]["exit"].toInt(), 1);

    // Without a file, the versions apart; with every database holding it, nothing to report.
    run = Reports({"status", "INVOICE", "-d", same.target(), "-d", other.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_TRUE(run.out.contains(": stored INVOICE: 90000 bytes, server hash "));
    EXPECT_TRUE(run.out.endsWith("2 database(s): 2 stored, 0 no row, 0 unreachable\n"));
    EXPECT_EQ(Reports({"status", "INVOICE", file, "-d", same.target()}).exitCode, 0);
}

// The example playbooks on the local connection: the play fails on the JSON summary's count of
// failed databases, not on the exit code alone.
TEST_F(KorvexReportsTest, TheRolloutPlaybookFailsThePlayOnAFailedDatabase) {
    const QString playbook = QStandardPaths::findExecutable("ansible-playbook");
    if (playbook.isEmpty())
        GTEST_SKIP() << "ansible-playbook is not installed";
    for (const char* name : {"home", "local", "remote", "backups"})
        ASSERT_TRUE(QDir(folder.path()).mkdir(name));
    environment.insert("HOME", folder.filePath("home"));
    environment.insert("ANSIBLE_LOCAL_TEMP", folder.filePath("local"));
    environment.insert("ANSIBLE_REMOTE_TEMP", folder.filePath("remote"));
    fbtest::ScratchDatabase first, second;
    for (fbtest::ScratchDatabase* database : {&first, &second})
        apptest::CreateReports(*database);
    const QString targets =
        File("targets.txt", (first.target() + '\n' + second.target() + '\n').toUtf8());
    const QString layout = File("invoice.fr3", "new invoice");
    const auto play = [&](const char* name, const QStringList& options = {}) {
        const QJsonObject vars{{"report_id", "INVOICE"},
                               {"template_file", layout},
                               {"targets_file", targets},
                               {"backup_dir", folder.filePath("backups")},
                               {"korvex_reports", KORVEX_REPORTS_BINARY}};
        return RunProgram(playbook,
                          QStringList{"-i", "localhost,", "-c", "local", "-e",
                                      QJsonDocument(vars).toJson(QJsonDocument::Compact),
                                      QStringLiteral(KORVEX_SOURCE_DIR "/docs/ansible/") + name} +
                              options,
                          folder.path(), environment);
    };
    // Checked first: the diff shows what would change, nothing is stored.
    ProgramRun run = play("rollout.yml", {"--check"});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.errors.toStdString();
    EXPECT_TRUE(run.out.contains("Binary files INVOICE on ")) << "the samples hold a NUL";
    EXPECT_TRUE(run.out.contains("2 database(s): 0 same, 2 other")) << run.out.toStdString();
    EXPECT_EQ(first.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), SampleLayout("INVOICE"));
    run = play("rollout.yml");
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.errors.toStdString();
    for (fbtest::ScratchDatabase* database : {&first, &second})
        EXPECT_EQ(database->readBlob("REPORTS", "DESCR", "ID", "INVOICE"), "new invoice");
    for (fbtest::ScratchDatabase* database : {&first, &second})
        EXPECT_EQ(QDir(folder.filePath("backups/" + platform::BackupFolderName(database->target())))
                      .entryList({"B_*.FR3"}, QDir::Files)
                      .size(),
                  1);
    run = play("status.yml");
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.errors.toStdString();

    second.execute("create exception REFUSED 'layouts are frozen'");
    second.execute("create trigger FREEZE for REPORTS before update as begin "
                   "exception REFUSED; end");
    File("invoice.fr3", "newer invoice");
    run = play("rollout.yml");
    EXPECT_NE(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("layouts are frozen")) << run.out.toStdString();
    EXPECT_EQ(first.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), "newer invoice");
    EXPECT_EQ(second.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), "new invoice");
}

// On loopback compressing costs more than it saves: off unless asked for, as the server reports
// it in each database's object and journal line.
TEST_F(KorvexReportsTest, ALocalTargetIsUncompressedUnlessAskedAndTheJsonSaysWhich) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const auto compressed = [&](const QStringList& arguments) {
        const ProgramRun run = Reports(arguments + QStringList{"--json", "-d", scratch.target()});
        EXPECT_LE(run.exitCode, 1) << run.errors.toStdString();
        const QList<QJsonObject> objects = apptest::JsonLines(run.out);
        return objects.isEmpty() ? QJsonValue() : objects[0]["compressed"];
    };
    EXPECT_EQ(compressed({"list"}), QJsonValue(false));
    EXPECT_EQ(compressed({"list", "--compress"}), QJsonValue(true));
    EXPECT_EQ(compressed({"status", "INVOICE", "--no-compress"}), QJsonValue(false));
    const QString layout = File("new.fr3", "new");
    EXPECT_EQ(compressed({"replace", "INVOICE", layout, "--compress"}), QJsonValue(true));
    EXPECT_EQ(compressed({"replace", "INVOICE", layout}), QJsonValue(false)) << "unchanged";
    QStringList journalled;
    for (const QJsonObject& line : Journal())
        journalled << line["event"].toString() + ' ' + (line["compressed"].toBool() ? "1" : "0");
    EXPECT_EQ(journalled, QStringList({"prepare 1", "outcome 1", "outcome 0"}));
}

// Under LANG=C, where the C library knows only ASCII.
TEST_F(KorvexReportsTest, ListWorksUnderTheCLocaleAndEscapesLineBreaksAndTabs) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    scratch.insertReport("TAB\tLINE\nBACK\\", QByteArray("x"));
    const apptest::TargetFolder cyrillic(scratch, QStringLiteral("Отчети"));
    environment.insert("LANG", "C");
    environment.insert("LC_ALL", "C");
    ProgramRun run = Reports({"list", "-d", cyrillic.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_TRUE(run.out.contains("\nTAB\\tLINE\\nBACK\\\\\t1\t")) << run.out.toStdString();

    run = Reports({"list", "--json", "-d", cyrillic.target()});
    const QJsonArray reports = apptest::JsonLines(run.out)[0]["reports"].toArray();
    EXPECT_EQ(reports.last()["id"].toString(), "TAB\tLINE\nBACK\\");
}

TEST_F(KorvexReportsTest, UsageErrorsExitWithTwoAndTouchNothing) {
    const QList<QStringList> wrong = {
        {},
        {"publish"},
        {"export", "INVOICE"},
        {"list", "--dry-run"},
        {"export", "INVOICE", "-", "-d", "a", "-d", "b"},
        {"list", "--no-such-option"},
        {"list", "--password-file", "/nonexistent/password"},
        {"list", "--targets", File("targets.txt", "# none yet\n\n")},
        {"list", "-d", ""},
        {"export", "", "x.fr3"},
        {"list", "--backup-dir", "."},
        {"export", "INVOICE", "-", "--backup-dir", "."},
        {"status", "INVOICE", "/nonexistent/invoice.fr3"},
        {"status", "INVOICE", "--versions", ".", "--backup-dir", "."},
        {"status", "INVOICE", "--versions", "/nonexistent/versions"},
        {"export", "INVOICE", "-", "--json"},
        {"undo"},
        {"undo", "RUN", "--last"},
    };
    for (const QStringList& arguments : wrong) {
        const ProgramRun run = Reports(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(run.errors.contains("--help")) << run.errors.toStdString();
    }
    // Told from the list of commands: each one named, each that an option goes with.
    EXPECT_TRUE(Reports({}).errors.contains(": a command is needed: list, export, replace, "
                                            "restore, undo, status, diff or history\n"));
    EXPECT_TRUE(Reports({"export", "INVOICE", "-", "--dry-run"})
                    .errors.contains(": --dry-run goes with replace, restore and undo\n"));
}

// Both executables answer --help and --version without a display and without a database.
TEST_F(KorvexReportsTest, HelpAndVersionNeedNeitherDisplayNorDatabase) {
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
    for (const char* program : {KORVEX_BINARY, KORVEX_REPORTS_BINARY}) {
        ProgramRun run = RunProgram(program, {"--version"}, folder.path(), environment);
        EXPECT_EQ(run.exitCode, 0) << program << run.errors.toStdString();
        EXPECT_TRUE(run.out.endsWith(" 1.23.9.4\n")) << run.out.toStdString();
        run = RunProgram(program, {"--help"}, folder.path(), environment);
        EXPECT_EQ(run.exitCode, 0) << program;
        EXPECT_TRUE(run.out.startsWith("Usage: ")) << run.out.toStdString();
    }
}

TEST_F(KorvexReportsTest, TheLoginComesFromOptionsOrEnvironmentAndNoPasswordIsEverPrinted) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    fbtest::ScratchUser user(scratch);
    scratch.execute("grant select on REPORTS to " + user.name());
    const QString name = QString::fromStdString(user.name());
    const QString password = QString::fromStdString(user.password());
    const QString secret = "Wr0ng-s3cret";
    const auto expectNoPassword = [&](const ProgramRun& run) {
        for (const QString& text : {password, secret}) {
            EXPECT_FALSE(run.out.contains(text.toUtf8()));
            EXPECT_FALSE(run.errors.contains(text));
        }
    };

    environment.insert("ISC_USER", name);
    environment.insert("ISC_PASSWORD", password);
    ProgramRun run = Reports({"list", "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    expectNoPassword(run);

    environment.insert("ISC_PASSWORD", secret);
    run = Reports({"list", "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains("Your user name and password are not defined"));
    expectNoPassword(run);

    // The file and the option come before the environment.
    const QString file = Private(File("password", password.toUtf8() + "\n"));
    environment.insert("ISC_USER", "nobody");
    run = Reports({"list", "-d", scratch.target(), "--user", name, "--password-file", file});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    expectNoPassword(run);

    // Without a password of its own the user may not write: the failure names no password.
    run = Reports({"replace", "INVOICE", File("new.fr3", "new"), "-d", scratch.target(), "--user",
                   name, "--password-file", file});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains("no permission for UPDATE access to TABLE REPORTS"))
        << run.errors.toStdString();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), SampleLayout("INVOICE"));
    expectNoPassword(run);
}

// Each office logs in as itself: a targets line's user= and password-file= come before the
// run's login, and a relative password file is found beside the targets file.
TEST_F(KorvexReportsTest, EachTargetLogsInWithTheUserAndPasswordFileOfItsLine) {
    fbtest::ScratchDatabase office, other;
    for (fbtest::ScratchDatabase* database : {&office, &other})
        apptest::CreateReports(*database);
    fbtest::ScratchUser user(office);
    office.execute("grant select, update on REPORTS to " + user.name());
    const QString name = QString::fromStdString(user.name());
    ASSERT_TRUE(QDir(folder.path()).mkpath("fleet/my keys"));
    Private(File("fleet/office.pw", QByteArray::fromStdString(user.password()) + "\n"));
    Private(File("fleet/my keys/sysdba.pw", "tallowfen\n"));
    File("fleet/targets.txt", office.target().toUtf8() + " user=" + name.toUtf8() +
                                  " password-file=office.pw\n" + other.target().toUtf8() +
                                  "\tpassword-file=\"my keys/sysdba.pw\"\n");
    environment.insert("ISC_PASSWORD", "Wr0ng-s3cret");

    const ProgramRun run = Reports({"replace", "VATDEC", File("vatdec.fr3", "v2"), "--user",
                                    "SYSDBA", "--targets", "fleet/targets.txt"});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(office.readBlob("REPORTS", "DESCR", "ID", "VATDEC"), "v2");
    EXPECT_EQ(other.readBlob("REPORTS", "DESCR", "ID", "VATDEC"), "v2");
}

// Nothing is touched, not even the database of a valid line before the bad one.
TEST_F(KorvexReportsTest, AnExposedPasswordFileOrAMalformedLineIsRefusedBeforeAnyDatabase) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const QByteArray valid = scratch.target().toUtf8() + " user=SYSDBA password-file=" +
                             Private(File("sysdba.pw", "tallowfen\n")).toUtf8() + "\n";
    const QString exposed = File("exposed.pw", "tallowfen\n");
    ASSERT_TRUE(
        QFile::setPermissions(exposed, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const QString shared = File("shared.pw", "tallowfen\n");
    ASSERT_TRUE(QFile::setPermissions(shared, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ReadOther | QFile::WriteOther));
    const std::pair<QStringList, QString> refused[] = {
        {{"--targets", File("exposed.txt", valid + scratch.target().toUtf8() +
                                               " password-file=" + exposed.toUtf8() + "\n")},
         "exposed.txt:2: the password file " + exposed +
             " is readable by its group (mode 0640); chmod 600 it"},
        {{"--targets", File("bad.txt", valid + "\n# next\n" + "other.fdb passwd=x\n")},
         "bad.txt:4: unknown key passwd"},
        {{"--targets", File("quote.txt", valid + "\"other.fdb user=x\n")},
         "quote.txt:2: unterminated quote"},
        {{"-d", scratch.target(), "--password-file", shared},
         "the password file " + shared + " is readable and writable by others (mode 0606)"},
    };
    for (const auto& [arguments, told] : refused) {
        const ProgramRun run =
            Reports(QStringList{"replace", "VATDEC", File("vatdec.fr3", "v2")} + arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.errors.contains(told)) << run.errors.toStdString();
    }
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "VATDEC"), SampleLayout("VATDEC"));
    EXPECT_TRUE(Backups("VATDEC").isEmpty());
}

// The server dies while the commit waits in it: nobody can tell whether it went through, and
// that outranks a plain failure elsewhere.
TEST_F(KorvexReportsTest, ACommitLostWithTheServerIsInDoubtAndExitsWithThree) {
    fbtest::ServerInstance server;
    fbtest::ScratchDatabase dying{1, server.port()}, refusing;
    for (fbtest::ScratchDatabase* database : {&dying, &refusing})
        apptest::CreateReports(*database);
    refusing.execute("create exception REFUSED 'layouts are frozen'");
    refusing.execute("create trigger FREEZE for REPORTS before update as begin "
                     "exception REFUSED; end");
    CommitGate gate(dying);
    QProcess process;
    process.setWorkingDirectory(folder.path());
    process.start(KORVEX_REPORTS_BINARY, {"replace", "VATDEC", File("vatdec.fr3", "v2"), "-d",
                                          dying.target(), "-d", refusing.target()});
    EXPECT_TRUE(QTest::qWaitFor([&] { return gate.reached(); }, 60000));
    server.kill();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 3);
    const QStringList lines =
        QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith(dying.target() + ": IN DOUBT VATDEC"))
        << lines[0].toStdString();
    EXPECT_EQ(lines[2], "2 database(s): 0 replaced, 0 unchanged, 1 failed, 1 in doubt");
    EXPECT_TRUE(process.readAllStandardError().contains("may or may not be stored"));
}

// The journal tells each database's change before its commit and its outcome after, both on the
// disk by the time the result line is out; the outcome line is the JSON object printed.
TEST_F(KorvexReportsTest, EachDatabasesJournalLinesAreOnTheDiskBeforeItsResultLine) {
    fbtest::ScratchDatabase first, held;
    for (fbtest::ScratchDatabase* database : {&first, &held})
        apptest::CreateReports(*database);
    // Another user's change, not committed, holds the second one's layout: the run waits there.
    apptest::HeldLayout other(held.target(), "INVOICE");
    const QString password = File("password", "tallowfen\n");
    QFile::setPermissions(password, QFile::ReadOwner | QFile::WriteOwner);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder.path());
    process.start(KORVEX_REPORTS_BINARY,
                  {"replace", "INVOICE", File("new.fr3", "new"), "-d", first.target(), "-d",
                   held.target(), "--jobs", "1", "--json", "--user", "SYSDBA", "--password-file",
                   password});
    ASSERT_TRUE(QTest::qWaitFor([&] { return process.canReadLine(); }, 60000));
    const QJsonObject firstResult = apptest::JsonLines(process.readLine()).value(0);
    QList<QJsonObject> journal = Journal();
    ASSERT_EQ(journal.size(), 2);
    EXPECT_EQ(journal[0]["event"].toString(), "prepare");
    EXPECT_EQ(journal[0]["sha256_after"].toString(), Sha256("new"));
    EXPECT_EQ(journal[0]["backup"], journal[1]["backup"]);
    EXPECT_EQ(journal[1], firstResult);
    EXPECT_EQ(firstResult["outcome"].toString(), "replaced");
    EXPECT_EQ(firstResult["db_user"].toString(), "SYSDBA");

    other.Release();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    journal = Journal();
    ASSERT_EQ(journal.size(), 4);
    EXPECT_EQ(journal[2]["target"].toString(), held.target());
    EXPECT_EQ(journal[3]["sha256_before"].toString(), Sha256(SampleLayout("INVOICE")));
    EXPECT_FALSE(ReadFile(JournalPath()).contains("tallowfen"));
}

// Found before the first database is reached: a usage error, and no backup made anywhere.
TEST_F(KorvexReportsTest, AJournalThatCannotBeWrittenStopsTheRunBeforeAnyDatabase) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    ASSERT_TRUE(QDir(folder.path()).mkdir("korvex-journal.jsonl"));
    const ProgramRun run =
        Reports({"replace", "INVOICE", File("new.fr3", "new"), "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.errors.contains("The journal " + JournalPath() +
                                    " cannot be written. Cannot "
                                    "open file \"" +
                                    JournalPath() + "\". Is a directory"))
        << run.errors.toStdString();
    EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), SampleLayout("INVOICE"));
    EXPECT_EQ(Backups("INVOICE").size(), 0);
}

// Undo restores what the journal names where the run's bytes are still stored, skips where
// someone changed them since, and is itself a run that can be undone.
TEST_F(KorvexReportsTest, UndoTakesARunBackWhereItsBytesAreStillThereAndCanBeUndone) {
    fbtest::ScratchDatabase kept, changed, crashed;
    for (fbtest::ScratchDatabase* database : {&kept, &changed, &crashed})
        apptest::CreateReports(*database);
    const auto stored = [](fbtest::ScratchDatabase& database) {
        return database.readBlob("REPORTS", "DESCR", "ID", "INVOICE");
    };
    ProgramRun run = Reports({"replace", "INVOICE", File("new.fr3", "new"), "-d", kept.target(),
                              "-d", changed.target(), "-d", crashed.target(), "--json", "--jobs",
                              "1"}); // undo takes the journal's order
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    const QString runId = apptest::JsonLines(run.out).last()["run"].toString();
    changed.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", QByteArray("someone else's"));
    // As after a crash between its two lines: the stored bytes decide.
    QList<QJsonObject> journal = Journal();
    ASSERT_EQ(journal.size(), 6);
    EXPECT_EQ(journal.removeIf([&](const QJsonObject& line) {
        return line["target"] == crashed.target() && line["event"] == "outcome";
    }),
              1);
    QFile rewritten(JournalPath());
    ASSERT_TRUE(rewritten.open(QIODevice::WriteOnly | QIODevice::Truncate));
    for (const QJsonObject& line : journal)
        rewritten.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    rewritten.close();

    run = Reports({"undo", runId});
    EXPECT_EQ(run.exitCode, 1) << run.errors.toStdString();
    EXPECT_EQ(stored(kept), SampleLayout("INVOICE"));
    EXPECT_EQ(stored(changed), "someone else's");
    EXPECT_EQ(stored(crashed), SampleLayout("INVOICE"));
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
    EXPECT_EQ(lines[1].toStdString(),
              (changed.target() + ": SKIPPED INVOICE: changed since run " + runId +
               " (now 14 bytes, SHA-256 " + Sha256("someone else's") + ")")
                  .toStdString());
    EXPECT_EQ(lines[3], "3 database(s): 2 replaced, 0 unchanged, 1 failed");
    EXPECT_EQ(Backups("INVOICE").size(), 5); // the skipped one's is not kept
    // In the journal as each database's work ends, several at once.
    journal = Journal();
    const auto skipped = std::ranges::find_if(journal, [&](const QJsonObject& line) {
        return line["command"] == "undo" && line["target"] == changed.target();
    });
    ASSERT_NE(skipped, journal.end());
    EXPECT_EQ((*skipped)["outcome"].toString().toStdString(), "skipped");
    EXPECT_EQ((*skipped)["undoes"].toString(), runId);

    // Taken back by its name; the rollout's databases named again, as for their logins: the one
    // the undo skipped is passed over.
    run = Reports({"undo", (*skipped)["run"].toString(), "-d", kept.target(), "-d",
                   changed.target(), "-d", crashed.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(stored(kept), "new");
    EXPECT_EQ(stored(crashed), "new");
    EXPECT_EQ(stored(changed), "someone else's");

    run = Reports({"undo", "20261210T000000Z-000000"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.errors.contains("no run 20261210T000000Z-000000 in " + JournalPath()));
}

} // namespace
