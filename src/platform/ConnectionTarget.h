#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// The database to connect to: the first argument when there is one and it is not empty (case
// kept: Linux names are case-sensitive), otherwise "127.0.0.1:" + working directory +
// "/KORVEX.FDB".
QString ConnectionTarget(const QStringList& arguments, const QString& workingDirectory);

// The target spelt one way, to compare with another: blanks around it dropped, the server's name
// in lower case, its default port and "localhost" for 127.0.0.1 left out, and the path's doubled
// slashes, "." and ".." resolved. Equal results name one database; a server's other names, or a
// path through a link, still compare unequal.
QString ComparableTarget(const QString& target);

// The database in the working directory now, as when no argument names one.
QString DefaultConnectionTarget();

} // namespace platform
