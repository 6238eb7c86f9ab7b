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

// Whether the target is reached on this machine: no server named (a path, a drive letter),
// "localhost", an address of 127.0.0.0/8 or ::1, with or without a port ("host/3051:path",
// "[::1]:path", "inet://localhost:3051/path"). A host name is never looked up: "myhost" is
// another host even where it names this one.
bool IsLocalTarget(const QString& target);

// The database in the working directory now, as when no argument names one.
QString DefaultConnectionTarget();

} // namespace platform
