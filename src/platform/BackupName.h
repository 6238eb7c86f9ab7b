#pragma once

#include <QDateTime>
#include <QString>
#include <functional>
#include <optional>

namespace platform {

// The local wall-clock time now: the system's, or the replaced clock's while one is in place.
QDateTime LocalNow();

// While it lives, LocalNow reads this clock instead: tests pin a backup's stamp with it. Put it in
// place before other threads call LocalNow, and let them finish before it goes.
class ReplacedClock {
public:
    explicit ReplacedClock(std::function<QDateTime()> clock);
    ~ReplacedClock();
    ReplacedClock(const ReplacedClock&) = delete;
    ReplacedClock& operator=(const ReplacedClock&) = delete;

private:
    std::function<QDateTime()> saved_;
};

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
// attempt from 1 to BackupFile::MaxAttempts written without leading zeros; nullopt for any other
// name. The identifier may itself hold "_" and digits: the stamp is the last 12-digit run.
std::optional<BackupNameParts> ParseBackupFileName(const QString& fileName);

} // namespace platform
