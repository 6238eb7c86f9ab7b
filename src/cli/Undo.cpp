#include "Undo.h"

#include "platform/ConnectionTarget.h"

#include <QSet>
#include <algorithm>

namespace cli {
namespace {

const QCommandLineOption Last{QStringLiteral("last"),
                              QStringLiteral("the latest run in the journal that replaced "
                                             "something and is not itself an undo, instead of "
                                             "RUN_ID.")};

StoredByRun StoredFrom(const JournalEntry& line) {
    return {line.stamp.target.value_or(QString()),
            line.stamp.dbUser,
            line.id,
            line.backup,
            {line.after.value_or(store::ContentDigest{}),
             line.before.value_or(store::ContentDigest{})}};
}

// An outcome line that rules out its attempt's prepare line: the commit surely did not happen.
bool FailedAttempt(const JournalEntry& line) {
    return line.event == u"outcome" && !line.backup.isEmpty() && line.outcome != u"replaced" &&
           line.outcome != u"in-doubt";
}

bool SameDatabase(const QString& a, const QString& b) {
    return platform::ComparableTarget(a) == platform::ComparableTarget(b);
}

// The steps of the named run, its lines read from the journal's start.
RunSteps StepsOf(const Journal& journal, const QString& run) {
    RunSteps steps(run);
    journal.Read(Journal::Direction::Forward, [&](const JournalEntry& line) {
        steps.Take(line);
        return true;
    });
    return steps;
}

// The latest run, by its last prepare line, that is not an undo and may have stored something.
// An undo is taken back only by naming it, so that running the same undo again finishes one that
// was interrupted instead of reversing it. Read from the end, an attempt's outcome comes before
// its prepare line: only the run found is read again, whatever failed after it.
std::optional<RunSteps> LatestUndoable(const Journal& journal) {
    QSet<QString> failed; // the backups of the attempts that did not store, until their prepare
    QString found;
    journal.Read(Journal::Direction::Backward, [&](const JournalEntry& line) {
        if (!line.undoes.isEmpty())
            return true;
        if (FailedAttempt(line))
            failed.insert(line.backup);
        else if (line.event == u"prepare" && !failed.remove(line.backup))
            found = line.stamp.run;
        return found.isEmpty();
    });
    return found.isEmpty() ? std::nullopt : std::optional(StepsOf(journal, found));
}

// A journal that cannot be read leaves nothing to act on, like one naming no such run.
template <class Reading> auto ReadOrRefuse(const Journal& journal, Reading reading) {
    try {
        return reading();
    } catch (const platform::FileError& error) {
        throw UsageProblem{QStringLiteral("the journal %1 cannot be read. %2")
                               .arg(journal.path(), QString::fromUtf8(error.what()))};
    }
}

const Target* NamedAs(const QList<Target>& named, const QString& database) {
    const auto found = std::ranges::find_if(
        named, [&](const Target& each) { return SameDatabase(each.database, database); });
    return found == named.end() ? nullptr : &*found;
}

std::vector<StoredByRun> NamedOnly(std::vector<StoredByRun> steps, const QList<Target>& named) {
    if (!named.isEmpty())
        std::erase_if(steps, [&](const StoredByRun& step) { return !NamedAs(named, step.target); });
    return steps;
}

// The database as the command line names it, with its login, else as the journal does; the
// database user is the journal's where the login sets none, the password the run's.
QList<Target> TargetsOf(const std::vector<StoredByRun>& steps, const QList<Target>& named) {
    QList<Target> targets;
    for (const StoredByRun& step : steps) {
        const Target* given = NamedAs(named, step.target);
        Target target = given ? *given : Target{step.target, {}};
        if (!target.login.user && !step.dbUser.isEmpty())
            target.login.user = step.dbUser;
        targets << target;
    }
    return targets;
}

} // namespace

void RunSteps::Take(const JournalEntry& line) {
    if (line.stamp.run != run_)
        return;
    seen_ = true;
    if (line.event == u"prepare")
        prepared_.push_back(StoredFrom(line));
    else if (FailedAttempt(line))
        std::erase_if(prepared_,
                      [&](const StoredByRun& step) { return step.backup == line.backup; });
}

std::vector<StoredByRun> RunSteps::steps() const {
    std::vector<StoredByRun> steps;
    for (const StoredByRun& step : prepared_)
        if (std::ranges::none_of(steps, [&](const StoredByRun& each) {
                return SameDatabase(each.target, step.target);
            }))
            steps.push_back(step);
    return steps;
}

Definition UndoRun::Defined() const {
    return {QStringLiteral("undo"),
            {{QStringLiteral("RUN_ID"), true}},
            {Last},
            QStringLiteral("restore on each database the run replaced a layout on the backup its "
                           "journal names, where the layout is still what the run stored")};
}

void UndoRun::Take(const Invocation& invocation, const QCommandLineParser& parser, const QString&,
                   const Journal& journal) {
    const QStringList& args = invocation.args;
    if (parser.isSet(Last) == !args.isEmpty())
        throw UsageProblem{QStringLiteral("undo takes a RUN_ID or --last")};
    const std::optional<RunSteps> run = ReadOrRefuse(journal, [&] {
        return args.isEmpty() ? LatestUndoable(journal) : std::optional(StepsOf(journal, args[0]));
    });
    if (!run)
        throw UsageProblem{QStringLiteral("no run in %1 replaced anything").arg(journal.path())};
    run_ = run->run();
    if (!run->seen())
        throw UsageProblem{QStringLiteral("no run %1 in %2").arg(run_, journal.path())};
    // Named databases narrow the undo down to them; the rollout's own targets file, naming also
    // those the run left unchanged, serves for their logins.
    steps_ = NamedOnly(run->steps(), invocation.targets);
    if (steps_.empty())
        throw UsageProblem{QStringLiteral("run %1 replaced nothing").arg(run_)};
    targets_ = TargetsOf(steps_, invocation.targets);
}

// Read once for the backup, the stored bytes tell whether the run's are still there.
Replacement UndoRun::For(const Target& target) const {
    const auto step = std::ranges::find_if(steps_, [&](const StoredByRun& each) {
        return SameDatabase(each.target, target.database);
    });
    return {step->backup, step->expected};
}

} // namespace cli
