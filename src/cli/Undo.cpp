#include "Undo.h"

#include <QJsonValue>
#include <algorithm>

namespace cli {
namespace {

const QCommandLineOption Last{QStringLiteral("last"),
                              QStringLiteral("the latest run in the journal that replaced "
                                             "something, instead of RUN_ID.")};

StoredByRun StoredFrom(const QJsonObject& line) {
    return {line["target"].toString(),
            line["db_user"].toString(),
            line["id"].toString(),
            line["backup"].toString(),
            {line["size_after"].toInteger(), line["sha256_after"].toString().toLatin1()}};
}

bool Undoable(const QJsonObject& outcome) {
    const QString told = outcome["outcome"].toString();
    return told == u"replaced" || told == u"in-doubt";
}

// The latest run, line by line from the end, with anything to take back.
QString LatestReplacingRun(const QList<QJsonObject>& journal) {
    QStringList seen;
    for (auto line = journal.crbegin(); line != journal.crend(); ++line) {
        const QString run = (*line)["run"].toString();
        if ((*line)["event"].toString() != u"prepare" || seen.contains(run))
            continue;
        if (!StoredBy(journal, run).empty())
            return run;
        seen << run;
    }
    return {};
}

} // namespace

std::vector<StoredByRun> StoredBy(const QList<QJsonObject>& journal, const QString& run) {
    std::vector<StoredByRun> stored;
    for (const QJsonObject& line : journal) {
        if (line["run"].toString() != run)
            continue;
        const QString event = line["event"].toString();
        const auto known = std::ranges::find_if(stored, [&](const StoredByRun& each) {
            return each.target == line["target"].toString() && !each.settled;
        });
        if (event == u"prepare" && known == stored.end())
            stored.push_back(StoredFrom(line));
        else if (event == u"outcome" && known != stored.end() && Undoable(line))
            known->settled = line["outcome"].toString() == u"replaced";
        else if (event == u"outcome" && known != stored.end())
            stored.erase(known);
    }
    return stored;
}

Target TargetOf(const StoredByRun& stored, const Invocation& invocation) {
    const auto named = std::ranges::find(invocation.targets, stored.target, &Target::database);
    Target target = named != invocation.targets.end() ? *named : Target{stored.target, {}};
    if (!target.login.user && !stored.dbUser.isEmpty())
        target.login.user = stored.dbUser;
    return target;
}

Undo::Undo()
    : Replace({QStringLiteral("undo"),
               {{QStringLiteral("RUN_ID"), true}},
               {Last},
               QStringLiteral("restore on each database the run replaced a layout on the backup "
                              "its journal names, where the layout is still what the run "
                              "stored")}) {}

void Undo::Check(const QCommandLineParser& parser) {
    Replace::Check(parser);
    const QStringList& args = invocation().args;
    if (parser.isSet(Last) == !args.isEmpty())
        throw UsageProblem{QStringLiteral("undo takes a RUN_ID or --last")};
    const QList<QJsonObject> lines = journal().Read();
    run_ = args.isEmpty() ? LatestReplacingRun(lines) : args[0];
    if (run_.isEmpty())
        throw UsageProblem{QStringLiteral("no run in %1 replaced anything").arg(journal().path())};
    if (std::ranges::none_of(
            lines, [&](const QJsonObject& line) { return line["run"].toString() == run_; }))
        throw UsageProblem{QStringLiteral("no run %1 in %2").arg(run_, journal().path())};
    steps_ = StoredBy(lines, run_);
    // Named databases narrow the undo down to them; the rollout's own targets file, naming also
    // those the run left unchanged, serves for their logins.
    if (!invocation().targets.isEmpty())
        std::erase_if(steps_, [&](const StoredByRun& step) {
            return std::ranges::find(invocation().targets, step.target, &Target::database) ==
                   invocation().targets.end();
        });
    if (steps_.empty())
        throw UsageProblem{QStringLiteral("run %1 replaced nothing").arg(run_)};
}

QList<Target> Undo::Targets() const {
    QList<Target> targets;
    for (const StoredByRun& step : steps_)
        targets << TargetOf(step, invocation());
    return targets;
}

// Read once for the backup, the stored bytes tell whether the run's are still there.
Report Undo::Run(const Target& target, store::LayoutStore& layouts, Supervisor::Work& work) const {
    const auto step = std::ranges::find(steps_, target.database, &StoredByRun::target);
    return Replacing(target, step->backup, step->stored, layouts, work);
}

} // namespace cli
