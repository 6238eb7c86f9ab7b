#pragma once

#include "Command.h"
#include "Journal.h"

#include <QDateTime>
#include <functional>
#include <map>

namespace cli {

// One run as its journal lines tell it.
struct PastRun {
    QString run = {};
    QString time = {}; // of its first line
    QString command = {};
    QString osUser = {};
    QString id = {};
    QString file = {}; // the one it stored; "(several)" when they differ
    QString undoes = {};
    QStringList undoneBy = {}; // the undos that name it, the latest first
    int replaced = 0;
    int unchanged = 0;
    int failed = 0;
    int inDoubt = 0; // told so, or ended between its prepare and outcome lines
    int dryRun = 0;
    int skipped = 0;
    int notStarted = 0; // as its summary line tells, where it wrote one
    qint64 startMs = 0; // its run identifier's time, else its first line's

    // "3 replaced, 1 unchanged, 0 failed, 0 in doubt".
    QString Counts() const;
    QJsonObject ToJson() const;
};

// The runs of a journal read backward, each handed on, newest first, once no older line can be
// one of its: its lines are stamped after its start, and each is written at once, so a line
// stamped more than Slack before the start (a generous bound on waiting for the journal's lock)
// was written before all of them. Memory holds only the runs whose lines are still being read,
// however long the journal.
class RunHistory {
public:
    static constexpr qint64 SlackMs = 2 * 60 * 1000;

    explicit RunHistory(std::function<void(const PastRun&)> visit) : visit_(std::move(visit)) {}

    // The next line back; false once every run from the given time on was handed on.
    bool Take(const JournalEntry& line, std::optional<qint64> sinceMs = std::nullopt);
    // At the journal's first line: the runs still open.
    void Finish();

private:
    // The open runs that started after the time, newest first.
    void handOnStartedAfter(qint64 ms);

    std::function<void(const PastRun&)> visit_;
    std::map<QString, PastRun> open_;          // by run
    std::map<QString, QStringList> undoneBy_;  // run taken back: the undos, until it is handed on
    std::map<QString, QSet<size_t>> outcomes_; // open run: its outcome lines' backups, hashed
};

// The time in milliseconds of a journal's "time" or a run identifier's start; nullopt when it is
// neither.
std::optional<qint64> TimeOf(const QString& text);

// The journal of the backup folder: without RUN_ID one line per run, newest first; with it each
// database's outcome in that run.
class History final : public Command {
public:
    History();
    std::optional<int> RunWithoutDatabases() override;
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;

protected:
    void Check(const QCommandLineParser& parser) override;

private:
    int listRuns(const Journal& journal) const;
    int showRun(const Journal& journal, const QString& run) const;

    QString backupDirectory_;
    QString id_;
    std::optional<qint64> sinceMs_;
};

} // namespace cli
