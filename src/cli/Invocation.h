#pragma once

#include "db/ConnectionOptions.h"

#include <QString>
#include <QStringList>

namespace cli {

// One database to work on, and how to log in there.
struct Target {
    QString database;
    // What its targets line sets; handed to the command with the run's and the design-time
    // login's parts filled in.
    db::ConnectionOptions login;
};

// What every command is given: its arguments, the databases and how to reach them.
struct Invocation {
    QStringList args;      // the command's own arguments
    QList<Target> targets; // empty: the database in the working directory
    // The run's: the user and password a target does not set itself, the seconds a server may
    // take to answer a connect, and whether the connections ask for compressed traffic (unset:
    // each by its link).
    db::ConnectionOptions login{.connectTimeoutSeconds = 15};
    int targetTimeout = 0; // seconds one database's work may take; 0: no limit
    int jobs = 4;          // databases worked on at once
    bool json = false;     // one JSON object per database and one for the run on stdout
    QString runId;         // what the journal and the JSON objects know the run by

    bool OneAtATime() const { return jobs == 1 || targets.size() <= 1; }
};

} // namespace cli
