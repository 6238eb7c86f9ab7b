#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace cli {

class Command;

// Who logs in; an unset part keeps the data module's own.
struct Login {
    std::optional<QString> user;
    std::optional<QString> password;
};

// One database to work on, and who logs in there.
struct Target {
    QString database;
    Login login; // handed to the command with every part set
};

// What every command is given: its arguments, the databases and how to reach them.
struct Invocation {
    QStringList args;        // the command's own arguments
    QList<Target> targets;   // empty: the database in the working directory
    Login login;             // the run's: what a target does not set itself
    int connectTimeout = 15; // seconds a server may take to answer a connect
    int targetTimeout = 0;   // seconds one database's work may take; 0: no limit
    int jobs = 4;            // databases worked on at once
    bool compress = true;    // the connections ask the server to compress their traffic
    bool json = false;       // one JSON object per database and one for the run on stdout
    QString runId;           // what the journal and the JSON objects know the run by

    bool OneAtATime() const { return jobs == 1 || targets.size() <= 1; }
};

// The exit status after a termination signal: the work in flight was stopped, no later target
// started.
constexpr int Interrupted = 4;

// Runs the command on every target, invocation.jobs of them at once, each with its own attachment
// and transaction, committed or rolled back on its own. Results go to standard output, errors to
// standard error, in the targets' order, each target's as soon as the earlier ones' are out.
// Returns the command's exit code, or Interrupted after SIGTERM, SIGINT or SIGHUP, which also stop
// the work in flight. The work on one target is stopped the same way when it outlasts
// invocation.targetTimeout.
int Run(const Invocation& invocation, Command& command);

} // namespace cli
