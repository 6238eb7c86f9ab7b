#include "ConnectionTarget.h"

#include "Process.h"

namespace platform {

QString ConnectionTarget(const QStringList& arguments, const QString& workingDirectory) {
    if (arguments.size() > 1 && !arguments.at(1).isEmpty())
        return arguments.at(1);
    // The root already ends in "/", so it gives "//KORVEX.FDB", as the root of a drive would.
    return QStringLiteral("127.0.0.1:") + workingDirectory + QStringLiteral("/KORVEX.FDB");
}

QString DefaultConnectionTarget() {
    return ConnectionTarget({}, WorkingDirectory());
}

} // namespace platform
