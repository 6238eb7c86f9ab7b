// Before and after a rollout, as an administrator looks at a fleet: diff, status naming versions,
// history; korvex-reports as a process against scratch databases on the real server.

#include "ReportsFixture.h"
#include "cli/Json.h"
#include "support/AppFixture.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace clitest;

namespace {

const QByteArray NewLayout = "<report>\r\n<b>new</b>\r\n</report>\r\n";
const QByteArray OldLayout = "<report>\r\n<b>old</b>\r\n</report>\r\n";
// Binary, with what a terminal would act on.
const QByteArray BinaryLayout = QByteArray("\x1b]0;title\x07\x1b[2J\0<report/>", 22);

class BeforeAfterTest : public KorvexReportsTest {
protected:
    BeforeAfterTest() {
        for (fbtest::ScratchDatabase* database : {&same, &oldA, &binary, &oldB, &noRow})
            apptest::CreateReports(*database);
        same.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", NewLayout);
        oldA.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", OldLayout);
        oldB.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", OldLayout);
        binary.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", BinaryLayout);
        noRow.execute("delete from REPORTS where ID = 'INVOICE'");
        file = File("new.fr3", NewLayout);
    }
    static QStringList Targets(std::initializer_list<const fbtest::ScratchDatabase*> databases) {
        QStringList arguments;
        for (const fbtest::ScratchDatabase* database : databases)
            arguments << "-d" << database->target();
        return arguments;
    }
    QStringList Fleet() const { return Targets({&same, &oldA, &binary, &oldB, &noRow}); }

    fbtest::ScratchDatabase same, oldA, binary, oldB, noRow;
    QString file;
};

// Two other versions, two diffs under headers naming their databases; FILE's holders and the one
// without the row only listed.
TEST_F(BeforeAfterTest, DiffShowsEachOtherVersionOnceAgainstTheFile) {
    ProgramRun run = Reports(QStringList{"diff", "INVOICE", file, "--jobs", "1"} + Fleet());
    EXPECT_EQ(run.exitCode, 1) << run.errors.toStdString();
    const QString out = QString::fromUtf8(run.out);
    EXPECT_TRUE(out.contains(QStringLiteral("== 1 database(s) hold the bytes of %1 (%2 bytes, "
                                            "server hash ")
                                 .arg(file)
                                 .arg(NewLayout.size())))
        << out.toStdString();
    EXPECT_TRUE(out.contains(
        QStringLiteral("== 2 database(s) hold another INVOICE (%1 bytes, ").arg(OldLayout.size())));
    EXPECT_TRUE(out.contains(QStringLiteral("): %1, %2\n--- INVOICE on %1\n+++ %3\n")
                                 .arg(oldA.target(), oldB.target(), file)))
        << out.toStdString();
    EXPECT_TRUE(out.contains("-<b>old</b>\r\n+<b>new</b>\r\n")) << out.toStdString();
    EXPECT_TRUE(out.contains(
        QStringLiteral("Binary files INVOICE on %1 and %2 differ").arg(binary.target(), file)));
    EXPECT_FALSE(run.out.contains('\x1b'));
    EXPECT_TRUE(out.contains(
        QStringLiteral("== 1 database(s) have no row INVOICE: %1\n").arg(noRow.target())));
    EXPECT_TRUE(out.endsWith("5 database(s): 1 same, 3 other, 1 no row, 0 unreachable\n"));

    run = Reports(QStringList{"diff", "INVOICE", file, "--json"} + Fleet());
    EXPECT_EQ(run.exitCode, 1);
    const QList<QJsonObject> objects = apptest::JsonLines(run.out);
    ASSERT_EQ(objects.size(), 6) << run.out.toStdString();
    const QJsonArray groups = objects[5]["groups"].toArray();
    ASSERT_EQ(groups.size(), 4);
    EXPECT_TRUE(groups[0].toObject()["file"].toBool());
    EXPECT_EQ(groups[1].toObject()["databases"].toArray().size(), 2);
    EXPECT_EQ(groups[1].toObject()["size"].toInt(), OldLayout.size());
    EXPECT_EQ(groups[3].toObject()["state"].toString(), "no-row");
    EXPECT_FALSE(run.out.contains("@@")) << "no diff text";

    EXPECT_EQ(Reports(QStringList{"diff", "INVOICE", file} + Targets({&same})).exitCode, 0);
    const QString missing = "127.0.0.1:" + folder.filePath("MISSING.FDB");
    run = Reports(QStringList{"diff", "INVOICE", file, "-d", missing} + Targets({&oldA}));
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(run.out.contains(("== 1 database(s) not reached: " + missing).toUtf8()));
}

// The program of KORVEX_DIFF gets its own words, then each other version's file once and FILE.
TEST_F(BeforeAfterTest, DiffRunsTheProgramOfKorvexDiff) {
    const QString script = File("my diff.sh", "printf '%s|' \"$@\" >> calls.txt\n"
                                              "echo >> calls.txt\n"
                                              "cat \"$2\" >> seen.txt\n"
                                              "echo \"shown $2\"\n"
                                              "exit 1\n");
    environment.insert("KORVEX_DIFF", "sh '" + script + "' \"--a word\"");
    ProgramRun run = Reports(QStringList{"diff", "INVOICE", file, "--jobs", "3"} + Fleet());
    EXPECT_EQ(run.exitCode, 1) << run.errors.toStdString();
    const QStringList calls =
        QString::fromUtf8(ReadFile(folder.filePath("calls.txt"))).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(calls.size(), 2) << "one call per other version";
    for (const QString& call : calls) {
        const QStringList words = call.split('|', Qt::SkipEmptyParts);
        ASSERT_EQ(words.size(), 3) << call.toStdString();
        EXPECT_EQ(words[0], "--a word");
        EXPECT_EQ(words[2], file);
        EXPECT_FALSE(QFile::exists(words[1])) << "the download is gone after the run";
    }
    EXPECT_EQ(ReadFile(folder.filePath("seen.txt")), OldLayout + BinaryLayout);
    EXPECT_EQ(run.out.count("shown "), 2);

    environment.insert("KORVEX_DIFF", "sh -c 'exit 2'");
    run = Reports(QStringList{"diff", "INVOICE", file} + Targets({&oldA}));
    EXPECT_EQ(run.exitCode, 3) << "a diff that could not be made is no success";
    EXPECT_TRUE(run.errors.contains("sh ended with exit status 2")) << run.errors.toStdString();
    environment.insert("KORVEX_DIFF", "diff 'unterminated");
    run = Reports(QStringList{"diff", "INVOICE", file} + Targets({&oldA}));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.errors.contains("KORVEX_DIFF holds an unterminated quote"));
    environment.insert("KORVEX_DIFF", "''");
    run = Reports(QStringList{"diff", "INVOICE", file} + Targets({&oldA}));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.errors.contains("KORVEX_DIFF names no program")) << run.errors.toStdString();
}

// A folder's files name what each database holds; without one, the journal's runs do.
TEST_F(BeforeAfterTest, StatusNamesTheVersionEachDatabaseHolds) {
    ASSERT_TRUE(QDir(folder.path()).mkdir("versions"));
    File("versions/2026-12.fr3", NewLayout);
    File("versions/2026-11.fr3", OldLayout);
    ProgramRun run = Reports(QStringList{"status", "INVOICE", "--versions", "versions"} + Fleet());
    EXPECT_EQ(run.exitCode, 1) << "one has no row";
    QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 7) << run.out.toStdString();
    EXPECT_TRUE(lines[0].endsWith(", version 2026-12.fr3"));
    EXPECT_TRUE(lines[1].endsWith(", version 2026-11.fr3"));
    EXPECT_TRUE(lines[2].endsWith(", unknown version"));
    EXPECT_EQ(lines[4], noRow.target() + ": no row INVOICE");
    EXPECT_EQ(lines[5], "versions: 2 2026-11.fr3; 1 2026-12.fr3; 1 unknown version");

    run = Reports(QStringList{"status", "INVOICE", "--versions", "versions", "--json"} + Fleet());
    const QList<QJsonObject> objects = apptest::JsonLines(run.out);
    ASSERT_EQ(objects.size(), 6);
    EXPECT_EQ(objects[1]["version"].toString(), "2026-11.fr3");
    EXPECT_TRUE(objects[2]["version"].isNull());
    EXPECT_EQ(objects[5]["versions"].toObject()["2026-11.fr3"].toInt(), 2);

    ASSERT_EQ(Reports(QStringList{"replace", "INVOICE", file} + Targets({&oldA})).exitCode, 0);
    const QString replaced = Journal().last()["run"].toString();
    run = Reports(QStringList{"status", "INVOICE"} + Targets({&oldA, &same, &oldB}));
    lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << run.out.toStdString();
    const QString named = QStringLiteral(", version %1 of run %2").arg(file, replaced);
    EXPECT_TRUE(lines[0].endsWith(named)) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith(named)) << "the same bytes, stored otherwise";
    EXPECT_FALSE(lines[2].contains("version")) << lines[2].toStdString();
    EXPECT_EQ(lines[3], "versions: 2 " + named.mid(10));
}

// Runs newest first with their counts, the undo naming what it took back; one run in detail.
TEST_F(BeforeAfterTest, HistoryListsRunsAndTheirUndos) {
    ASSERT_EQ(
        Reports(QStringList{"replace", "INVOICE", file, "--jobs", "1"} + Targets({&oldA, &same}))
            .exitCode,
        0);
    const QString replaced = Journal().last()["run"].toString();
    ASSERT_EQ(Reports(QStringList{"undo", "--last"} + Targets({&oldA})).exitCode, 0);
    const QString undone = Journal().last()["run"].toString();

    ProgramRun run = Reports({"history"});
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << run.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith(undone + ' ')) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains(" undo ") && lines[0].contains(" undoing " + replaced + ": "));
    EXPECT_TRUE(lines[0].contains(": 1 replaced, 0 unchanged, 0 failed, 0 in doubt"));
    EXPECT_TRUE(lines[1].startsWith(replaced + ' '));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" replace %1 INVOICE %2: 1 replaced, 1 "
                                                 "unchanged, 0 failed, 0 in doubt; undone by %3")
                                      .arg(cli::OsUser(), file, undone)))
        << lines[1].toStdString();

    run = Reports({"history", replaced});
    lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << run.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith(
        oldA.target() + QStringLiteral(": replaced; %1 bytes (SHA-256 ").arg(OldLayout.size())))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains("after, server hash ") && lines[0].contains("; backup "));
    EXPECT_TRUE(lines[1].startsWith(same.target() + ": unchanged"));
    EXPECT_TRUE(lines[2].endsWith("undone by " + undone));

    const QList<QJsonObject> objects = apptest::JsonLines(Reports({"history", "--json"}).out);
    ASSERT_EQ(objects.size(), 2);
    EXPECT_EQ(objects[1]["undone_by"].toArray().first().toString(), undone);
    EXPECT_EQ(objects[1]["replaced"].toInt(), 1);
    EXPECT_TRUE(Reports({"history", "--id", "BILL"}).out.isEmpty());
    EXPECT_TRUE(Reports({"history", "--since", "2999-01-01"}).out.isEmpty());
    EXPECT_EQ(Reports({"history", "--since", "2000-01-01"}).out.count('\n'), 2);
    const std::pair<QStringList, QString> wrong[] = {
        {{"history", "NO-SUCH-RUN"}, "no run NO-SUCH-RUN in " + JournalPath()},
        {{"history", "-d", oldA.target()}, "history reads the journal, not a database"},
        {{"history", "--since", "soon"}, "--since takes a date or a time, not soon"}};
    for (const auto& [arguments, told] : wrong) {
        const ProgramRun refused = Reports(arguments);
        EXPECT_EQ(refused.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(refused.errors.contains(told)) << refused.errors.toStdString();
    }
}

} // namespace
