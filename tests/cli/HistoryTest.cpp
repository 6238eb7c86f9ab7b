// The runs history tells from the journal, in-process; and its memory on a long journal, as a
// process.

#include "cli/History.h"
#include "ReportsFixture.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

QString RunId(const QString& run, int start) {
    return QStringLiteral("20261210T10%1").arg(start, 2, 10, QChar(u'0')) + "00Z-" + run;
}

// A line of a run that started at minute `start`, written at minute `at` of the same hour.
cli::JournalEntry Line(const QString& run, int start, int at, const QString& event,
                       const QString& outcome = {}, const QString& target = {}) {
    return {
        .stamp = {.run = RunId(run, start),
                  .time = QStringLiteral("2026-12-10T10:%1:00.000Z").arg(at, 2, 10, QChar(u'0')),
                  .command = "replace",
                  .osUser = "admin",
                  .target = target},
        .event = event,
        .id = "INVOICE",
        .file = "/l/new.fr3",
        .backup = target.isEmpty() ? QString() : "/b/" + run + target,
        .outcome = outcome};
}

std::vector<cli::PastRun> Runs(const std::vector<cli::JournalEntry>& lines,
                               std::optional<qint64> since = std::nullopt) {
    std::vector<cli::PastRun> runs;
    cli::RunHistory history([&](const cli::PastRun& run) { runs.push_back(run); });
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        if (!history.Take(*line, since))
            return runs;
    history.Finish();
    return runs;
}

// Two runs that overlap, one taken back by an undo and one cut off between a prepare line and its
// outcome: each counted whole, newest first, the undo named.
TEST(RunHistory, RunsNewestFirstWithTheirCountsAndUndos) {
    std::vector<cli::JournalEntry> lines{
        Line("a", 0, 0, "prepare", {}, "db1"),       Line("a", 0, 1, "outcome", "replaced", "db1"),
        Line("b", 1, 1, "prepare", {}, "db1"),       Line("a", 0, 2, "outcome", "unchanged", "db2"),
        Line("a", 0, 3, "outcome", "failed", "db3"), Line("b", 1, 3, "outcome", "in-doubt", "db1"),
        Line("b", 1, 4, "prepare", {}, "db2"),
    };
    cli::JournalEntry undo = Line("u", 50, 50, "outcome", "replaced", "db1");
    undo.stamp.command = "undo";
    undo.undoes = lines[0].stamp.run;
    lines.push_back(undo);

    const std::vector<cli::PastRun> runs = Runs(lines);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].run, RunId("u", 50));
    EXPECT_EQ(runs[0].undoes, RunId("a", 0));
    EXPECT_EQ(runs[1].run, RunId("b", 1));
    EXPECT_EQ(runs[1].Counts(), "0 replaced, 0 unchanged, 0 failed, 2 in doubt")
        << "one told so, one ended between its lines";
    EXPECT_TRUE(runs[1].undoneBy.isEmpty());
    EXPECT_EQ(runs[2].run, RunId("a", 0));
    EXPECT_EQ(runs[2].Counts(), "1 replaced, 1 unchanged, 1 failed, 0 in doubt");
    EXPECT_EQ(runs[2].undoneBy, QStringList{RunId("u", 50)});
    EXPECT_EQ(runs[2].time, "2026-12-10T10:00:00.000Z");
    EXPECT_EQ(runs[2].file, "/l/new.fr3");
    EXPECT_EQ(runs[2].ToJson()["undone_by"].toArray().size(), 1);
}

// A run is handed on once the lines read are older than its start, so only the overlapping ones
// are held; --since stops the read there.
TEST(RunHistory, HandsRunsOnAsSoonAsNoOlderLineCanBeTheirs) {
    std::vector<cli::JournalEntry> lines;
    for (int minute = 0; minute < 59; minute += 1)
        lines.push_back(Line(QString::number(minute), minute, minute, "outcome", "replaced", "db"));
    std::vector<QString> handed;
    int taken = 0;
    cli::RunHistory history([&](const cli::PastRun& run) {
        handed.push_back(run.run);
        EXPECT_LT(taken, 59 - (run.startMs / 60000 % 60) + 4) << "held too long";
    });
    for (auto line = lines.rbegin(); line != lines.rend(); ++line, ++taken)
        history.Take(*line);
    history.Finish();
    ASSERT_EQ(handed.size(), 59u);
    EXPECT_TRUE(std::ranges::is_sorted(handed, std::greater{}));

    const std::optional<qint64> since = cli::TimeOf("2026-12-10T10:40:00Z");
    const std::vector<cli::PastRun> recent = Runs(lines, since);
    EXPECT_GE(recent.size(), 19u);
    EXPECT_LT(recent.size(), 25u) << "the read stopped before the journal's start";
}

TEST(RunHistory, TimesOfLinesAndRunIdentifiers) {
    EXPECT_EQ(cli::TimeOf("2026-12-10T10:00:01.500Z"),
              cli::TimeOf("20261210T100001Z-3f9a1c").value() + 500);
    EXPECT_FALSE(cli::TimeOf("yesterday"));
}

qint64 HighWaterKiB(pid_t process) {
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// 100 MiB of journal, read back whole by history: memory does not follow the journal's length.
TEST(HistoryMemory, ALongJournalIsStreamed) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine measure it, not the program";
#endif
    const QTemporaryDir folder;
    {
        QFile journal(QDir(folder.path()).filePath("korvex-journal.jsonl"));
        ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
        const QByteArray padding(200, 'x');
        for (qint64 written = 0, n = 0; written < (100 << 20); ++n) {
            cli::JournalEntry line = Line(QString::number(n), 0, 0, "outcome", "replaced",
                                          QStringLiteral("office%1:/db/").arg(n % 20) + padding);
            line.stamp.run = QStringLiteral("20261210T%1Z-%2")
                                 .arg(QTime(0, 0).addSecs(n / 20).toString("HHmmss"))
                                 .arg(n / 20);
            line.stamp.time = QStringLiteral("2026-12-10T%1.000Z")
                                  .arg(QTime(0, 0).addSecs(n / 20).toString("HH:mm:ss"));
            const QByteArray text =
                QJsonDocument(line.ToJson()).toJson(QJsonDocument::Compact) + '\n';
            ASSERT_EQ(journal.write(text), text.size());
            written += text.size();
        }
    }
    // Its own high-water mark, read while it runs: the rusage of a child counts its parent's
    // pages from before the exec.
    const QByteArray program = KORVEX_REPORTS_BINARY;
    const QByteArray journalFolder = QFile::encodeName(folder.path());
    posix_spawn_file_actions_t actions;
    ASSERT_EQ(::posix_spawn_file_actions_init(&actions), 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char* const arguments[] = {const_cast<char*>(program.constData()), const_cast<char*>("history"),
                               const_cast<char*>("--backup-dir"),
                               const_cast<char*>(journalFolder.constData()), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, program.constData(), &actions, nullptr, arguments, environ), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    qint64 peakKiB = 0;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        peakKiB = std::max(peakKiB, HighWaterKiB(child));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GT(peakKiB, 0);
    EXPECT_LT(peakKiB, 20 * 1024) << "KiB at the peak";
}

} // namespace
