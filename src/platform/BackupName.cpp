#include "BackupName.h"

#include "Files.h"

#include <algorithm>
#include <utility>

namespace platform {

namespace {

constexpr qsizetype StampLength = 12;

bool AsciiDigits(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// "2" to MaxAttempt: what BackupFileName writes from the second attempt on.
std::optional<int> Attempt(QStringView text) {
    constexpr qsizetype MaxDigits = 9;
    if (text.isEmpty() || text.size() > MaxDigits || text.front() == u'0' || !AsciiDigits(text))
        return std::nullopt;
    const int attempt = text.toInt();
    if (attempt < 2 || attempt > BackupFile::MaxAttempt)
        return std::nullopt;
    return attempt;
}

// "<id>_<stamp>" with a non-empty identifier.
std::optional<BackupNameParts> IdAndStamp(QStringView text, int attempt) {
    const qsizetype idLength = text.size() - StampLength - 1;
    if (idLength < 1 || text[idLength] != u'_' || !AsciiDigits(text.sliced(idLength + 1)))
        return std::nullopt;
    return BackupNameParts{text.left(idLength).toString(), text.sliced(idLength + 1).toString(),
                           attempt};
}

} // namespace

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

std::optional<BackupNameParts> ParseBackupFileName(const QString& fileName) {
    const QStringView prefix = u"B_";
    const QStringView suffix = u".FR3";
    if (!fileName.startsWith(prefix) || !fileName.endsWith(suffix))
        return std::nullopt;
    // The two cannot overlap: "_" is not ".".
    const QStringView body = QStringView(fileName).sliced(
        prefix.size(), fileName.size() - prefix.size() - suffix.size());
    const qsizetype lastSeparator = body.lastIndexOf(u'_');
    if (lastSeparator < 0)
        return std::nullopt;
    if (const auto attempt = Attempt(body.sliced(lastSeparator + 1)))
        return IdAndStamp(body.left(lastSeparator), *attempt);
    return IdAndStamp(body, 1);
}

} // namespace platform
