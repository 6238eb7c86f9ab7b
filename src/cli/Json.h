#pragma once

#include "Rollout.h"

#include <QJsonObject>
#include <QString>

namespace cli {

// "2026-12-10T12:34:56.789Z".
QString UtcNow();

// A new run's identifier: its start in UTC and a random part, "20261210T123456Z-3f9a1c".
QString NewRunId();

// The login name of the operating-system user this process runs as.
QString OsUser();

// The fields that every object printed or journalled for a database starts with: the run, the
// time, the command, who did it where, and the tool's version. Never the password.
QJsonObject TargetFields(const Invocation& invocation, const QString& command,
                         const Target& target);

// The same for the run's summary, without a database.
QJsonObject RunFields(const Invocation& invocation, const QString& command);

// One object on one line of standard output, flushed.
void PrintJson(const QJsonObject& object);

} // namespace cli
