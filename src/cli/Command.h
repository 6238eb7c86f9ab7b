#pragma once

#include "Invocation.h"
#include "Supervisor.h"
#include "store/LayoutStore.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <cstdio>
#include <map>
#include <stop_token>
#include <vector>

namespace cli {

// What the work on one database came to: made on the thread that did it, its lines printed and
// its result counted by the run loop in the databases' order.
struct Report {
    struct Line {
        std::FILE* stream;
        QString text;
    };

    void Say(QString text) { lines.push_back({stdout, std::move(text)}); }
    // A failure on the database, on standard error.
    void Complain(const QString& database, const QString& text);

    std::vector<Line> lines;
    bool failed = false;
    bool duplicate =
        false;      // a database worked on under another of its names: neither done nor failed
    QString result; // what the summary counts it as ("replaced", "no-row"); empty: not counted
    std::optional<store::Fingerprint> stored; // what the database holds, where it was read
    std::optional<QString> version;           // and the name of that version, where it has one
    QString database;                         // the one worked on, as the rollout names it
    std::optional<QJsonObject> json;          // with --json, the database's object
};

// One count of the run's summary: the databases whose result has this name ("dry-run"), told
// "2 dry run" for people and "dry_run": 2 in JSON. "failed" counts the failed reports.
struct Count {
    enum class Told { Always, WhenAny, InJsonOnly };
    QString result;
    Told told = Told::Always;
};

// The databases' results, counted by their names, and the versions they hold by theirs.
class Tally {
public:
    void Add(const Report& report);
    int operator[](const QString& result) const;
    int failed() const { return failed_; }
    int duplicates() const { return duplicates_; }
    const std::map<QString, int>& versions() const { return versions_; }

private:
    std::map<QString, int> results_;
    std::map<QString, int> versions_;
    int failed_ = 0;
    int duplicates_ = 0;
};

// A command line that cannot be carried out as written.
struct UsageProblem {
    QString text;
};

// "-d", "--json".
QString Spelled(const QString& optionName);

// One argument of a command as --help names it.
struct Argument {
    QString name;
    bool optional = false;
};

// The argument that names a report identifier.
inline const QString IdArgument = QStringLiteral("ID");

// What --help and the checks of the command line know of a command before it runs.
struct Definition {
    QString name;
    QList<Argument> arguments;
    QList<QCommandLineOption> options; // those that go with this command only
    QString help;                      // one line
};

struct RunSummary;

// Where a run of many databases stops early.
struct Pace {
    qsizetype canary = 0; // the first databases, worked on before any other starts
    int maxFailures = 0;  // no database starts once this many failed; 0: no limit
};

// One command of korvex-reports, run on each database in turn.
class Command {
public:
    explicit Command(Definition definition) : definition_(std::move(definition)) {}
    virtual ~Command() = default;
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    const Definition& definition() const { return definition_; }
    // "restore ID [BACKUP]".
    QString synopsis() const;
    qsizetype fewestArguments() const;

    // The command line, its arguments' count and its options already checked against the
    // definition. Throws UsageProblem for what only this command refuses.
    void Take(const Invocation& invocation, const QCommandLineParser& parser);

    // A command that works on no database does all its work here and returns its exit status;
    // the others return nothing and are run on each database.
    virtual std::optional<int> RunWithoutDatabases() { return std::nullopt; }

    // The databases to work on: those the command line names, unless the command knows its own.
    virtual QList<Target> Targets() const { return invocation_.targets; }

    // Its work on one database, on a thread of the rollout's: const, as several run at once.
    virtual Report Run(const Target& target, store::LayoutStore& layouts,
                       Supervisor::Work& work) const = 0;
    // When it could not be done on the database; what it writes waits no longer than until the
    // stop is requested.
    virtual Report Failed(const Target& target, const QString& text,
                          const std::stop_token& stop) const;
    // When the database is the one another target named, on which the work is done once.
    Report Duplicate(const Target& target, const Target& first) const;
    // How many databases go first, and how many failed ones stop the run.
    const Pace& pace() const { return pace_; }
    // Each database's report in turn, from one thread, for a command that gathers more than the
    // tally does: diff's groups of databases.
    virtual void Observe(const Report& /*report*/) {}
    // After the last database, what the command adds to the summary before it is told: its
    // counts (none: no summary line), lines and JSON fields.
    virtual void Conclude(RunSummary& /*summary*/) {}
    virtual int ExitCode(const Tally& tally) const { return tally.failed() == 0 ? 0 : 1; }

protected:
    virtual void Check(const QCommandLineParser& /*parser*/) {}
    const Invocation& invocation() const { return invocation_; }
    void setPace(const Pace& pace) { pace_ = pace; }
    // The fields every JSON object for the database starts with, its "event" an "outcome".
    QJsonObject outcomeFields(const Target& target) const;

private:
    const Definition definition_;
    Invocation invocation_;
    Pace pace_;
};

} // namespace cli
