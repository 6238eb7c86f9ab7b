#pragma once

#include "Invocation.h"

#include <QJsonObject>
#include <QString>
#include <optional>

namespace cli {

// "2026-12-10T12:34:56.789Z".
QString UtcNow();

// A new run's identifier: its start in UTC and a random part, "20261210T123456Z-3f9a1c".
QString NewRunId();

// The login name of the operating-system user this process runs as.
QString OsUser();

// What every object printed or journalled starts with: the run, the time, the command, who did it
// where, and the tool's version. Never the password.
struct Stamp {
    QString run = {};
    QString time = {};
    QString command = {};
    QString osUser = {};
    QString version = {};
    QString dbUser = {};                // of the login; with the target,
    std::optional<QString> target = {}; // none in the run's summary

    static Stamp OfRun(const Invocation& invocation, const QString& command);
    static Stamp OfTarget(const Invocation& invocation, const QString& command,
                          const Target& target);
    void WriteTo(QJsonObject& object) const;
    static Stamp ReadFrom(const QJsonObject& object);
};

// One object on one line of standard output, flushed.
void PrintJson(const QJsonObject& object);

} // namespace cli
