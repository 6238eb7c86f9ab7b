#pragma once

#include <QDateTime>
#include <QString>

namespace platform {

// The local wall-clock time now.
QDateTime LocalNow();

// "yymmddhhnnss": year modulo 100, month, day, hour (24-hour clock), minutes, seconds, each two
// zero-padded ASCII digits whatever the locale; fractions of a second are dropped.
QString TimeStamp(const QDateTime& localTime);

// "B_" + id + "_" + stamp + ".FR3"; from the second attempt on, "_<attempt>" goes before ".FR3".
QString BackupFileName(const QString& reportId, const QString& stamp, int attempt = 1);

} // namespace platform
