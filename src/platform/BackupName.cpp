#include "BackupName.h"

namespace platform {

QDateTime LocalNow() {
    return QDateTime::currentDateTime();
}

QString TimeStamp(const QDateTime& localTime) {
    const QDate date = localTime.date();
    const QTime time = localTime.time();
    return QString::asprintf("%02d%02d%02d%02d%02d%02d", date.year() % 100, date.month(),
                             date.day(), time.hour(), time.minute(), time.second());
}

QString BackupFileName(const QString& reportId, const QString& stamp, int attempt) {
    const QString retry = attempt > 1 ? QStringLiteral("_%1").arg(attempt) : QString();
    return QStringLiteral("B_") + reportId + u'_' + stamp + retry + QStringLiteral(".FR3");
}

} // namespace platform
