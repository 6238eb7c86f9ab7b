#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>

namespace cli {

// Who logs in; an unset part keeps the data module's own.
struct Login {
    std::optional<QString> user;
    std::optional<QString> password;
};

// One run of korvex-reports: a command with its arguments, done on each database in turn.
struct Invocation {
    QString command;     // list, export, replace or restore
    QStringList args;    // the command's own arguments
    QStringList targets; // empty: the database in the working directory
    Login login;
    QString backupDirectory; // empty: the working directory
    bool dryRun = false;
    bool json = false;
    int connectTimeout = 15; // seconds a server may take to answer a connect
    int targetTimeout = 0;   // seconds one database's work may take; 0: no limit
};

// The exit status after a termination signal: the work in flight was stopped, no later target
// started.
constexpr int Interrupted = 4;

// Runs the command on every target, each with its own attachment and transaction, committed or
// rolled back on its own. Results go to standard output, errors to standard error. Returns 0 when
// it was done on every target, 1 when it failed on at least one, 3 when a replacement's commit
// is in doubt on at least one, Interrupted after SIGTERM, SIGINT or SIGHUP, which also stop the
// work in flight. The work on one target is stopped the same way when it outlasts
// invocation.targetTimeout.
int Run(const Invocation& invocation);

} // namespace cli
