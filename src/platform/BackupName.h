#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

namespace platform {

// The local wall-clock time now.
QDateTime LocalNow();

// "yymmddhhnnss": year modulo 100, month, day, hour (24-hour clock), minutes, seconds, each two
// zero-padded ASCII digits whatever the locale; fractions of a second are dropped.
QString TimeStamp(const QDateTime& localTime);

// "B_" + id + "_" + stamp + ".FR3"; from the second attempt on, "_<attempt>" goes before ".FR3".
QString BackupFileName(const QString& reportId, const QString& stamp, int attempt = 1);

struct BackupNameParts {
    QString reportId;
    QString stamp;
    int attempt;
    bool operator==(const BackupNameParts&) const = default;
};

// The inverse of BackupFileName for a non-empty identifier, a stamp of 12 ASCII digits and an
// attempt from 1 to BackupFile::MaxAttempt written without leading zeros; nullopt for any other
// name. The identifier may itself hold "_" and digits: the stamp is the last 12-digit run.
std::optional<BackupNameParts> ParseBackupFileName(const QString& fileName);

} // namespace platform
