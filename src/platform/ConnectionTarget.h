#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// The database to connect to: the first argument when there is one and it is not empty (case
// kept: Linux names are case-sensitive), otherwise "127.0.0.1:" + working directory +
// "/KORVEX.FDB".
QString ConnectionTarget(const QStringList& arguments, const QString& workingDirectory);

// The database in the working directory now, as when no argument names one.
QString DefaultConnectionTarget();

} // namespace platform
