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

QJsonObject RunFields(const Invocation& invocation, const QString& command) {
    return {{"run", invocation.runId},
            {"time", UtcNow()},
            {"command", command},
            {"os_user", OsUser()},
            {"version", platform::Version()}};
}

QJsonObject TargetFields(const Invocation& invocation, const QString& command,
                         const Target& target) {
    QJsonObject fields = RunFields(invocation, command);
    fields.insert("db_user", target.login.user.value_or(QString()));
    fields.insert("target", target.database);
    return fields;
}

void PrintJson(const QJsonObject& object) {
    Print(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

} // namespace cli
