#include "Json.h"

#include "Output.h"
#include "platform/Version.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <pwd.h>
#include <unistd.h>

namespace cli {

QString UtcNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString NewRunId() {
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const quint32 random = QRandomGenerator::system()->bounded(1u << 24);
    return stamp + QStringLiteral("-%1").arg(random, 6, 16, QLatin1Char('0'));
}

// Looked up once: getpwuid's answer is shared, and the databases' threads ask at once.
QString OsUser() {
    static const QString name = [] {
        const passwd* user = ::getpwuid(::geteuid());
        return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(::geteuid());
    }();
    return name;
}

Stamp Stamp::OfRun(const Invocation& invocation, const QString& command) {
    return {.run = invocation.runId,
            .time = UtcNow(),
            .command = command,
            .osUser = OsUser(),
            .version = platform::Version()};
}

Stamp Stamp::OfTarget(const Invocation& invocation, const QString& command, const Target& target) {
    Stamp stamp = OfRun(invocation, command);
    stamp.dbUser = target.login.user.value_or(QString());
    stamp.target = target.database;
    return stamp;
}

void Stamp::WriteTo(QJsonObject& object) const {
    object.insert("run", run);
    object.insert("time", time);
    object.insert("command", command);
    object.insert("os_user", osUser);
    object.insert("version", version);
    if (target) {
        object.insert("db_user", dbUser);
        object.insert("target", *target);
    }
}

Stamp Stamp::ReadFrom(const QJsonObject& object) {
    return {.run = object["run"].toString(),
            .time = object["time"].toString(),
            .command = object["command"].toString(),
            .osUser = object["os_user"].toString(),
            .version = object["version"].toString(),
            .dbUser = object["db_user"].toString(),
            .target = object.contains("target") ? std::optional(object["target"].toString())
                                                : std::nullopt};
}

void PrintJson(const QJsonObject& object) {
    Print(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

} // namespace cli
