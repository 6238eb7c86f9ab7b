#include "ConnectionTarget.h"

#include "Process.h"

#include <QDir>

namespace platform {

QString ConnectionTarget(const QStringList& arguments, const QString& workingDirectory) {
    if (arguments.size() > 1 && !arguments.at(1).isEmpty())
        return arguments.at(1);
    // The root already ends in "/", so it gives "//KORVEX.FDB", as the root of a drive would.
    return QStringLiteral("127.0.0.1:") + workingDirectory + QStringLiteral("/KORVEX.FDB");
}

QString ComparableTarget(const QString& target) {
    const QString trimmed = target.trimmed();
    // "host:path" or "host/port:path"; a local path or a drive letter ("C:\\...") has no server.
    const qsizetype colon = trimmed.indexOf(u':');
    const bool hasServer = colon > 1 && !trimmed.startsWith(u'/');
    QString server = hasServer ? trimmed.left(colon).toLower() : QString();
    const QString path = hasServer ? trimmed.mid(colon + 1) : trimmed;
    if (server.endsWith(u"/3050"))
        server.chop(5);
    if (server == u"localhost")
        server = QStringLiteral("127.0.0.1");
    return server + u':' + (path.startsWith(u'/') ? QDir::cleanPath(path) : path);
}

QString DefaultConnectionTarget() {
    return ConnectionTarget({}, WorkingDirectory());
}

} // namespace platform
