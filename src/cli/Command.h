#pragma once

#include "Invocation.h"
#include "Supervisor.h"
#include "core/Replacement.h"
#include "core/Status.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <cstdio>
#include <stop_token>
#include <vector>

namespace cli {

// What the work on one database came to: made on the thread that did it, its lines printed and
// its results counted by the run loop in the databases' order.
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
        false; // a database worked on under another of its names: neither done nor failed
    std::optional<core::Outcome::Result> result;    // what replace and restore count
    std::optional<core::LayoutStatus::State> state; // and status and diff,
    std::optional<store::Fingerprint> stored;       // with what the database holds
    std::optional<QString> version;                 // and its name, where it has one
    QString database;                               // diff's: the one worked on
    std::optional<QJsonObject> json;                // with --json, the database's object
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
    // Each database's report in turn, from one thread, once its lines are printed.
    virtual void Tally(const Report& /*report*/) {}
    // After the last database, the summary for people.
    virtual void Finish(int /*databases*/, int /*failed*/) {}
    // The command's own counts in the run's JSON summary.
    virtual void Count(QJsonObject& /*summary*/) const {}
    virtual int ExitCode(int failed) const { return failed == 0 ? 0 : 1; }

protected:
    virtual void Check(const QCommandLineParser& /*parser*/) {}
    const Invocation& invocation() const { return invocation_; }
    // The fields every JSON object for the database starts with, its "event" an "outcome".
    QJsonObject outcomeFields(const Target& target) const;

private:
    const Definition definition_;
    Invocation invocation_;
};

} // namespace cli
