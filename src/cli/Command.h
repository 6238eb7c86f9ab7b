#pragma once

#include "Rollout.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>

class TDM;

namespace cli {

class Supervisor;

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

    // Its work on one database; false when it failed there.
    virtual bool Run(const QString& target, TDM& dm, Supervisor& supervisor) = 0;
    // When it could not be done on the database.
    virtual void Failed(const QString& target, const QString& text);
    // After the last database.
    virtual void Finish(int /*databases*/, int /*failed*/) {}
    virtual int ExitCode(int failed) const { return failed == 0 ? 0 : 1; }

protected:
    virtual void Check(const QCommandLineParser& /*parser*/) {}
    const Invocation& invocation() const { return invocation_; }

private:
    const Definition definition_;
    Invocation invocation_;
};

} // namespace cli
