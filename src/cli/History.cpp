#include "History.h"

#include "Output.h"

#include <QJsonArray>
#include <QSet>
#include <QTimeZone>
#include <algorithm>

namespace cli {
namespace {

const QCommandLineOption Id{QStringLiteral("id"),
                            QStringLiteral("only the runs on the layout with this identifier."),
                            QStringLiteral("id")};
const QCommandLineOption Since{QStringLiteral("since"),
                               QStringLiteral("only the runs started on or after this date "
                                              "(2026-12-10) or time (2026-12-10T08:00:00Z)."),
                               QStringLiteral("date")};

// An undo's file is a backup of each database's own: the run's files say nothing then.
void TakeFile(PastRun& summary, const QString& file) {
    if (file.isEmpty() || summary.file == file)
        return;
    summary.file = summary.file.isEmpty() ? file : QStringLiteral("(several)");
}

void CountOutcome(PastRun& summary, const QString& outcome) {
    if (outcome == u"replaced")
        ++summary.replaced;
    else if (outcome == u"unchanged")
        ++summary.unchanged;
    else if (outcome == u"in-doubt")
        ++summary.inDoubt;
    else if (outcome == u"dry-run")
        ++summary.dryRun;
    else if (outcome == u"skipped")
        ++summary.skipped;
    else if (outcome == u"failed")
        ++summary.failed;
}

// "/srv/new.fr3, 123 bytes (SHA-256 ...) before, 456 bytes (SHA-256 ...) after".
QString Told(const JournalEntry& line) {
    QStringList parts{line.outcome};
    if (line.before)
        parts << Describe(*line.before) + QStringLiteral(" before");
    if (line.after)
        parts << Describe(*line.after) + QStringLiteral(" after") +
                     (line.serverHashAfter
                          ? QStringLiteral(", server hash %1").arg(*line.serverHashAfter)
                          : QString());
    if (!line.file.isEmpty())
        parts << QStringLiteral("from ") + line.file;
    if (!line.backup.isEmpty())
        parts << QStringLiteral("backup ") + line.backup;
    if (!line.error.isEmpty())
        parts << line.error;
    return QStringLiteral("%1: %2").arg(line.stamp.target.value_or(QString()),
                                        Escaped(parts.join(QStringLiteral("; "))));
}

QString RunLine(const PastRun& run) {
    QString text = QStringLiteral("%1 %2 %3 %4 %5")
                       .arg(run.run, run.time, run.command, run.osUser, Escaped(run.id));
    if (!run.undoes.isEmpty())
        text += QStringLiteral(" undoing ") + run.undoes;
    else if (!run.file.isEmpty())
        text += u' ' + run.file;
    text += QStringLiteral(": ") + run.Counts();
    if (!run.undoneBy.isEmpty())
        text += QStringLiteral("; undone by ") + run.undoneBy.join(QStringLiteral(", "));
    return text;
}

// A line's run, opened with it.
PastRun Opened(const JournalEntry& line) {
    PastRun run{.run = line.stamp.run,
                .command = line.stamp.command,
                .osUser = line.stamp.osUser,
                .id = line.id,
                .undoes = line.undoes};
    run.time = line.stamp.time;
    run.startMs = TimeOf(line.stamp.run).value_or(TimeOf(line.stamp.time).value_or(0));
    return run;
}

} // namespace

std::optional<qint64> TimeOf(const QString& text) {
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        time = QDateTime::fromString(text.left(16), QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    if (!time.isValid())
        return std::nullopt;
    time.setTimeZone(QTimeZone::utc());
    return time.toMSecsSinceEpoch();
}

QString PastRun::Counts() const {
    QString counts = QStringLiteral("%1 replaced, %2 unchanged, %3 failed, %4 in doubt")
                         .arg(replaced)
                         .arg(unchanged)
                         .arg(failed)
                         .arg(inDoubt);
    if (dryRun > 0)
        counts += QStringLiteral(", %1 dry run").arg(dryRun);
    if (skipped > 0)
        counts += QStringLiteral(", %1 skipped").arg(skipped);
    if (notStarted > 0)
        counts += QStringLiteral(", %1 not started").arg(notStarted);
    return counts;
}

QJsonObject PastRun::ToJson() const {
    QJsonObject object{{"event", "run"},
                       {"run", run},
                       {"time", time},
                       {"command", command},
                       {"os_user", osUser},
                       {"id", id},
                       {"file", file},
                       {"replaced", replaced},
                       {"unchanged", unchanged},
                       {"failed", failed},
                       {"in_doubt", inDoubt},
                       {"dry_run", dryRun},
                       {"skipped", skipped},
                       {"not_started", notStarted},
                       {"undone_by", QJsonArray::fromStringList(undoneBy)}};
    if (!undoes.isEmpty())
        object.insert("undoes", undoes);
    return object;
}

bool RunHistory::Take(const JournalEntry& line, std::optional<qint64> sinceMs) {
    const std::optional<qint64> time = TimeOf(line.stamp.time);
    if (time)
        handOnStartedAfter(*time + SlackMs);
    // Every run from then on was handed on: those still open started before.
    if (time && sinceMs && *time + SlackMs < *sinceMs)
        return false;
    if (line.stamp.run.isEmpty())
        return true;
    if (!line.undoes.isEmpty()) {
        QStringList& undos = undoneBy_[line.undoes];
        if (!undos.contains(line.stamp.run))
            undos << line.stamp.run;
    }
    auto [place, fresh] = open_.try_emplace(line.stamp.run);
    PastRun& run = place->second;
    if (fresh)
        run = Opened(line);
    run.time = line.stamp.time;
    QSet<size_t>& outcomes = outcomes_[line.stamp.run];
    if (line.event == u"outcome") {
        CountOutcome(run, line.outcome);
        TakeFile(run, line.file);
        outcomes.insert(qHash(line.backup));
    } else if (line.event == u"summary") {
        run.notStarted = static_cast<int>(line.notStarted.size());
    } else if (line.event == u"prepare" && !outcomes.contains(qHash(line.backup))) {
        // The run ended between the two: what undo takes as possibly stored.
        ++run.inDoubt;
    }
    return true;
}

void RunHistory::handOnStartedAfter(qint64 ms) {
    std::vector<PastRun> done;
    for (auto each = open_.begin(); each != open_.end();) {
        if (each->second.startMs > ms) {
            done.push_back(std::move(each->second));
            outcomes_.erase(each->first);
            each = open_.erase(each);
        } else {
            ++each;
        }
    }
    // Runs started in the same second go by their first lines.
    std::ranges::sort(done, std::greater{},
                      [](const PastRun& run) { return std::pair(run.startMs, run.time); });
    for (PastRun& run : done) {
        if (const auto undone = undoneBy_.find(run.run); undone != undoneBy_.end()) {
            run.undoneBy = undone->second;
            undoneBy_.erase(undone);
        }
        visit_(run);
    }
}

void RunHistory::Finish() {
    handOnStartedAfter(std::numeric_limits<qint64>::min());
}

History::History()
    : Command({QStringLiteral("history"),
               {{QStringLiteral("RUN_ID"), true}},
               {BackupDirOption, Id, Since},
               QStringLiteral("the runs the journal of the backup folder recorded, newest first, "
                              "or each database's outcome in RUN_ID")}) {}

void History::Check(const QCommandLineParser& parser) {
    if (!invocation().targets.isEmpty())
        throw UsageProblem{QStringLiteral("history reads the journal, not a database")};
    backupDirectory_ = parser.value(BackupDirOption);
    id_ = parser.value(Id);
    if (parser.isSet(Since)) {
        sinceMs_ = TimeOf(parser.value(Since));
        if (!sinceMs_)
            sinceMs_ = TimeOf(parser.value(Since) + QStringLiteral("T00:00:00Z"));
        if (!sinceMs_)
            throw UsageProblem{
                QStringLiteral("--since takes a date or a time, not %1").arg(parser.value(Since))};
    }
}

std::optional<int> History::RunWithoutDatabases() {
    const Journal journal(backupDirectory_);
    try {
        const QStringList& args = invocation().args;
        return args.isEmpty() ? listRuns(journal) : showRun(journal, args[0]);
    } catch (const platform::FileError& error) {
        Print(stderr, QStringLiteral("korvex-reports: the journal %1 cannot be read. %2")
                          .arg(journal.path(), QString::fromUtf8(error.what())));
        return 1;
    }
}

int History::listRuns(const Journal& journal) const {
    RunHistory history([&](const PastRun& run) {
        if ((!id_.isEmpty() && run.id != id_) || (sinceMs_ && run.startMs < *sinceMs_))
            return;
        if (invocation().json)
            PrintJson(run.ToJson());
        else
            Print(stdout, RunLine(run));
    });
    journal.Read(Journal::Direction::Backward,
                 [&](const JournalEntry& line) { return history.Take(line, sinceMs_); });
    history.Finish();
    return 0;
}

// Read forward, each database's line comes as its attempt ended; the undos naming the run come
// after it.
int History::showRun(const Journal& journal, const QString& run) const {
    std::optional<PastRun> summary;
    QStringList undoneBy;
    journal.Read(Journal::Direction::Forward, [&](const JournalEntry& line) {
        if (line.undoes == run && !undoneBy.contains(line.stamp.run))
            undoneBy << line.stamp.run;
        if (line.stamp.run != run)
            return true;
        if (!summary)
            summary = Opened(line);
        if (line.event == u"summary")
            summary->notStarted = static_cast<int>(line.notStarted.size());
        if (line.event != u"outcome")
            return true;
        CountOutcome(*summary, line.outcome);
        TakeFile(*summary, line.file);
        if (invocation().json)
            PrintJson(line.ToJson());
        else
            Print(stdout, Told(line));
        return true;
    });
    if (!summary)
        throw UsageProblem{QStringLiteral("no run %1 in %2").arg(run, journal.path())};
    std::ranges::reverse(undoneBy);
    summary->undoneBy = undoneBy;
    if (invocation().json)
        PrintJson(summary->ToJson());
    else
        Print(stdout, RunLine(*summary));
    return 0;
}

Report History::Run(const Target&, store::LayoutStore&, Supervisor::Work&) const {
    throw std::logic_error("history works on no database");
}

} // namespace cli
