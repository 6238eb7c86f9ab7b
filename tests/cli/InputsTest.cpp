// What korvex-reports is given: targets and password files as they come, identifiers, databases
// named twice; and that what it checks on the server is checked byte for byte.

#include "ReportsFixture.h"
#include "support/AppFixture.h"
#include "support/JsonLines.h"

#include <QDir>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <sys/stat.h>

using apptest::SampleLayout;
using clitest::KorvexReportsTest;
using clitest::ProgramRun;

namespace {

class InputsTest : public KorvexReportsTest {
protected:
    InputsTest() { apptest::CreateReports(scratch); }
    std::optional<QByteArray> Stored(const QString& id) {
        return scratch.readBlob("REPORTS", "DESCR", "ID", id.toStdString());
    }
    // A layout the server's HASH() cannot tell from "AQ": its hash folds characters by shifting.
    static constexpr const char* HashTwinOfAq = "BA";

    fbtest::ScratchDatabase scratch;
};

// Notepad and Windows editors: a byte-order mark and CR LF work, the rest is named by its line.
TEST_F(InputsTest, TargetsFilesAsWindowsWritesThem) {
    const QString password = Private(File("sysdba.pw", "tallowfen\r\n"));
    const QByteArray line = scratch.target().toUtf8() + " password-file=" + password.toUtf8();
    ProgramRun run = Reports({"status", "INVOICE", "--targets",
                              File("bom.txt", "\xEF\xBB\xBF# offices\r\n" + line + "\r\n")});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_TRUE(run.out.startsWith(scratch.target().toUtf8() + ": stored INVOICE: "));

    // Notepad's "Unicode"; the other refusals are the parser's own tests.
    QByteArray utf16("\xFF\xFE");
    for (const char c : line)
        utf16 += QByteArray(1, c) + '\0';
    run = Reports({"status", "INVOICE", "--targets", File("utf16.txt", utf16)});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.errors.contains("utf16.txt:1: UTF-16 text; save the file as UTF-8"))
        << run.errors.toStdString();
}

// A FIFO would be waited on for ever; an empty password would log in without one.
TEST_F(InputsTest, OnlyARegularNonEmptyPasswordOrTargetsFileIsRead) {
    const QString fifo = folder.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString empty = Private(File("empty.pw", ""));
    const QString blankLine = Private(File("blank.pw", "\nsecond line\n"));
    const std::pair<QStringList, QString> refused[] = {
        {{"--password-file", fifo}, "the password file " + fifo + " is not a regular file"},
        {{"--targets", fifo}, "the targets file " + fifo + " is not a regular file"},
        {{"--targets", File("line.txt", scratch.target().toUtf8() + " password-file=fifo\n")},
         "line.txt:1: the password file " + fifo + " is not a regular file"},
        {{"--password-file", "/dev/zero"}, "the password file /dev/zero is not a regular file"},
        {{"--password-file", empty}, "the password file " + empty + " is empty"},
        {{"--password-file", blankLine}, "the password file " + blankLine + " is empty"},
    };
    for (const auto& [arguments, told] : refused) {
        const ProgramRun run = Reports(QStringList{"list", "-d", scratch.target()} + arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(run.errors.contains(told)) << run.errors.toStdString();
    }
}

// The server compares identifiers with trailing blanks ignored: "INVOICE " would be INVOICE.
TEST_F(InputsTest, AnIdentifierWithBlanksAroundItIsRefused) {
    for (const QString id : {"INVOICE ", " INVOICE"}) {
        const ProgramRun run =
            Reports({"replace", id, File("new.fr3", "new"), "-d", scratch.target()});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(
            run.errors.contains("the identifier \"" + id + "\" starts or ends with a blank"))
            << run.errors.toStdString();
    }
    EXPECT_EQ(Stored("INVOICE"), SampleLayout("INVOICE"));
    EXPECT_TRUE(Backups("INVOICE").isEmpty() && Backups("INVOICE ").isEmpty());
}

TEST_F(InputsTest, StatusEscapesAnIdentifiersLineBreakAsListDoes) {
    scratch.insertReport("TWO\nLINES", QByteArray("x"));
    const ProgramRun run = Reports({"status", "TWO\nLINES", "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_TRUE(run.out.startsWith(scratch.target().toUtf8() + ": stored TWO\\nLINES: 1 bytes"))
        << run.out.toStdString();
}

// Named twice as written, or reached through another host name and a link to its file: one
// database, one backup, one replacement, whatever the order the jobs take them in.
TEST_F(InputsTest, ADatabaseNamedTwiceIsWorkedOnOnce) {
    const apptest::TargetFolder linked(scratch);
    const QString spellings[] = {scratch.target(), "  " + scratch.target(), linked.target(),
                                 "127.0.0.1/3050:" + QString::fromStdString(scratch.path())};
    QStringList arguments{"replace", "INVOICE", File("new.fr3", "new"), "--jobs", "4", "--json"};
    for (const QString& target : spellings)
        arguments << "-d" << target;
    const ProgramRun run = Reports(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    const QList<QJsonObject> objects = apptest::JsonLines(run.out);
    ASSERT_EQ(objects.size(), 5) << run.out.toStdString();
    QStringList outcomes;
    for (const QJsonObject& object : objects.first(4))
        outcomes << object["outcome"].toString();
    EXPECT_EQ(outcomes.count("replaced"), 1) << outcomes.join(' ').toStdString();
    EXPECT_EQ(outcomes.count("duplicate"), 3) << outcomes.join(' ').toStdString();
    EXPECT_EQ(objects[1]["same_as"].toString(), scratch.target());
    EXPECT_EQ(objects[4]["databases"].toInt(), 1);
    EXPECT_EQ(objects[4]["duplicates"].toInt(), 3);
    EXPECT_EQ(Backups("INVOICE").size(), 1);
    EXPECT_EQ(Stored("INVOICE"), "new");

    // For people: the line says which name the work was done under.
    const ProgramRun again = Reports(
        {"status", "INVOICE", "-d", scratch.target(), "-d", scratch.target(), "--jobs", "1"});
    EXPECT_TRUE(again.out.contains(scratch.target().toUtf8() + ": the same database as " +
                                   scratch.target().toUtf8() + ", worked on once\n"))
        << again.out.toStdString();
    EXPECT_TRUE(again.out.endsWith("1 database(s): 1 stored, 0 no row, 0 unreachable\n"));
}

// Root may write past a full disk's reserve, so the file-size limit stands in for the full folder.
TEST_F(InputsTest, ABackupThatCannotBeWrittenSaysWhy) {
    scratch.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", QByteArray(64 * 1024, 'x'));
    File("new.fr3", "new");
    environment.insert("KORVEX_REPORTS", KORVEX_REPORTS_BINARY);
    const ProgramRun run = clitest::RunProgram(
        "/bin/sh",
        {"-c", "ulimit -f 8 && exec \"$KORVEX_REPORTS\" replace INVOICE new.fr3 -d \"$0\"",
         scratch.target()},
        folder.path(), environment);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains(": Stream write error. File too large\n"))
        << run.errors.toStdString();
    EXPECT_EQ(Stored("INVOICE"), QByteArray(64 * 1024, 'x'));
}

// A trigger stands in for a server or a table that stores other bytes than it was sent.
TEST_F(InputsTest, TheCheckBeforeTheCommitComparesTheBytesNotOnlyTheirLength) {
    scratch.execute("create trigger OTHER_BYTES for REPORTS before update as begin "
                    "new.DESCR = 'ZZ'; end");
    ProgramRun run = Reports({"replace", "INVOICE", File("aq.fr3", "AQ"), "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Stored("INVOICE"), SampleLayout("INVOICE"));

    // Bytes that even the server's hash takes for the file's: only reading them back tells.
    scratch.execute(std::string("alter trigger OTHER_BYTES as begin new.DESCR = '") + HashTwinOfAq +
                    "'; end");
    run = Reports(
        {"replace", "INVOICE", File("aq.fr3", "AQ"), "-d", scratch.target(), "--verify", "full"});
    EXPECT_EQ(run.exitCode, 1) << run.out.toStdString();
    EXPECT_EQ(Stored("INVOICE"), SampleLayout("INVOICE"));
}

TEST_F(InputsTest, StatusTellsAnotherVersionOfTheSameSizeAndAMissingRowAsDrift) {
    scratch.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", "ZZ");
    ProgramRun run = Reports({"status", "INVOICE", File("aq.fr3", "AQ"), "-d", scratch.target()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.startsWith(scratch.target().toUtf8() + ": other INVOICE: 2 bytes"))
        << run.out.toStdString();

    scratch.execute("delete from REPORTS where ID = 'INVOICE'");
    for (const QStringList& file : {QStringList{}, QStringList{File("aq.fr3", "AQ")}}) {
        run =
            Reports(QStringList{"status", "INVOICE"} + file + QStringList{"-d", scratch.target()});
        EXPECT_EQ(run.exitCode, 1) << file.join(' ').toStdString();
        EXPECT_TRUE(run.out.startsWith(scratch.target().toUtf8() + ": no row INVOICE\n"));
    }
}

// What the server says of the attachment that stored the layout, recorded by a trigger. The test
// server is on loopback, where compression is off unless asked for.
TEST_F(InputsTest, WireCompressionToThisMachineIsOffUnlessAskedFor) {
    scratch.execute("create table SEEN (N integer, COMPRESSED varchar(5))");
    scratch.execute("create trigger SEEN_UPDATE for REPORTS before update as begin insert into "
                    "SEEN select count(*), rdb$get_context('SYSTEM', 'WIRE_COMPRESSED') from "
                    "SEEN; end");
    const auto seen = [&](int n) {
        return scratch.queryValue("select COMPRESSED from SEEN where N = " + std::to_string(n));
    };
    const QList<std::pair<QStringList, std::string>> runs = {
        {{}, "FALSE"}, {{"--compress"}, "TRUE"}, {{"--no-compress"}, "FALSE"}};
    for (qsizetype i = 0; i < runs.size(); ++i) {
        const QString file = File("new.fr3", "version " + QByteArray::number(i));
        const ProgramRun run = Reports(
            QStringList{"replace", "INVOICE", file, "-d", scratch.target()} + runs[i].first);
        EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
        EXPECT_EQ(seen(int(i)), runs[i].second) << runs[i].first.join(' ').toStdString();
    }
}

} // namespace
