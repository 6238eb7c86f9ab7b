// The journal's lines and undo's reading of them, in-process: no server, no korvex-reports.

#include "cli/Journal.h"
#include "cli/Undo.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

namespace {

QList<QJsonObject> ReadAll(const cli::Journal& journal, cli::Journal::Direction direction) {
    QList<QJsonObject> lines;
    journal.Read(direction, [&](const cli::JournalEntry& line) {
        lines << line.ToJson();
        return true;
    });
    return lines;
}

// A line of the writer's, its number in the layout's identifier.
cli::JournalEntry Numbered(int writer, int n) {
    return {
        .stamp = {.run = QString::number(writer)}, .event = "prepare", .id = QString::number(n)};
}

// Several threads' lines each arrive whole, one a line, also after a line a crash left without
// its line break; reading goes either way and stops where the visitor says.
TEST(JournalTest, EveryWritersLineIsReadBackWhole) {
    const QTemporaryDir folder;
    cli::Journal journal(folder.path());
    QFile torn(journal.path());
    ASSERT_TRUE(torn.open(QIODevice::WriteOnly));
    torn.write("{\"run\": \"cut");
    torn.close();

    constexpr int Writers = 4, Lines = 50;
    {
        std::vector<std::jthread> writers;
        for (int w = 0; w < Writers; ++w)
            writers.emplace_back([&, w] {
                for (int n = 0; n < Lines; ++n)
                    journal.Append(Numbered(w, n), {});
            });
    }
    const QList<QJsonObject> forward = ReadAll(journal, cli::Journal::Direction::Forward);
    ASSERT_EQ(forward.size(), Writers * Lines) << "the torn line is passed over, no other";
    std::vector<int> next(Writers, 0);
    for (const QJsonObject& line : forward)
        EXPECT_EQ(line["id"].toString().toInt(), next[line["run"].toString().toInt()]++)
            << "each writer's in order";

    QList<QJsonObject> backward = ReadAll(journal, cli::Journal::Direction::Backward);
    std::ranges::reverse(backward);
    EXPECT_EQ(backward, forward);

    int visited = 0;
    journal.Read(cli::Journal::Direction::Backward,
                 [&](const cli::JournalEntry&) { return ++visited < 3; });
    EXPECT_EQ(visited, 3);
}

TEST(JournalTest, AJournalThatIsALinkIsNeitherWrittenNorFollowed) {
    const QTemporaryDir folder;
    const QString elsewhere = folder.filePath("elsewhere.jsonl");
    cli::Journal journal(folder.path());
    ASSERT_TRUE(QFile::link(elsewhere, journal.path()));
    try {
        journal.Append(Numbered(1, 1), {});
        ADD_FAILURE() << "a link was written through";
    } catch (const std::runtime_error& error) {
        EXPECT_TRUE(QString::fromUtf8(error.what())
                        .startsWith("The journal " + journal.path() + " cannot be written. "))
            << error.what();
    }
    EXPECT_FALSE(QFile::exists(elsewhere));
}

// One attempt of a run on a database: its prepare line and, unless it ended between the two,
// its outcome line; each as the journal reads it back.
QList<cli::JournalEntry> Attempt(const QString& run, const QString& target, const QString& backup,
                                 const std::optional<QString>& outcome) {
    const cli::JournalEntry prepare{.stamp = {.run = run, .dbUser = "SYSDBA", .target = target},
                                    .event = "prepare",
                                    .id = "INVOICE",
                                    .before =
                                        store::ContentDigest{3, "before-" + backup.toLatin1()},
                                    .after = store::ContentDigest{5, "after"},
                                    .backup = backup};
    if (!outcome)
        return {cli::JournalEntry::FromJson(prepare.ToJson())};
    cli::JournalEntry told = prepare;
    told.event = "outcome";
    told.outcome = *outcome;
    return {cli::JournalEntry::FromJson(prepare.ToJson()),
            cli::JournalEntry::FromJson(told.ToJson())};
}

cli::RunSteps StepsOf(const QString& run, const QList<QList<cli::JournalEntry>>& attempts) {
    cli::RunSteps steps(run);
    for (const QList<cli::JournalEntry>& attempt : attempts)
        for (const cli::JournalEntry& line : attempt)
            steps.Take(line);
    return steps;
}

QStringList TargetsOf(const cli::RunSteps& steps) {
    QStringList targets;
    for (const cli::StoredByRun& step : steps.steps())
        targets << step.target;
    return targets;
}

// Undo acts where the run may have stored: an outcome replaced or in doubt, or none at all;
// never where the attempt surely failed, nor on another run's databases.
TEST(JournalTest, UndoTakesBackWhereTheRunMayHaveStored) {
    const cli::RunSteps steps =
        StepsOf("run", {Attempt("run", "h:/failed.fdb", "b1", "failed"),
                        Attempt("run", "h:/cut.fdb", "b2", std::nullopt),
                        Attempt("run", "h:/doubt.fdb", "b3", "in-doubt"),
                        Attempt("run", "h:/done.fdb", "b4", "replaced"),
                        Attempt("run", "h:/same.fdb", "b5", "unchanged"),
                        Attempt("other", "h:/other.fdb", "b6", "replaced")});
    EXPECT_TRUE(steps.seen());
    EXPECT_EQ(TargetsOf(steps), QStringList({"h:/cut.fdb", "h:/doubt.fdb", "h:/done.fdb"}));
    const std::vector<cli::StoredByRun> stored = steps.steps();
    const cli::StoredByRun& done = stored[2];
    EXPECT_EQ(done.reportId, "INVOICE");
    EXPECT_EQ(done.dbUser, "SYSDBA");
    EXPECT_EQ(done.backup, "b4");
    EXPECT_EQ(done.expected.stored.size, 5);
    EXPECT_EQ(done.expected.stored.sha256, "after");
    EXPECT_EQ(done.expected.file.size, 3);
    EXPECT_EQ(done.expected.file.sha256, "before-b4");

    EXPECT_FALSE(StepsOf("missing", {Attempt("run", "h:/x.fdb", "b1", "replaced")}).seen());
}

// A database tried twice under two spellings is taken back once, to what it held before the
// run's first attempt; a later failed attempt does not hide the earlier one that stored.
TEST(JournalTest, ADatabaseTriedTwiceIsTakenBackOnceToWhatItHeldFirst) {
    const cli::RunSteps steps =
        StepsOf("run", {Attempt("run", "localhost:/data/a.fdb", "b1", "replaced"),
                        Attempt("run", "127.0.0.1/3050:/data//a.fdb", "b2", "failed"),
                        Attempt("run", "LOCALHOST:/data/./a.fdb", "b3", "in-doubt")});
    ASSERT_EQ(steps.steps().size(), 1u);
    EXPECT_EQ(steps.steps()[0].backup, "b1");
}

} // namespace
