#pragma once

#include <QString>

namespace platform {

// The process's working directory as the operating system reports it (symbolic links resolved,
// $PWD ignored), without a trailing separator except for the root "/". Empty when the system
// cannot name it, e.g. after the directory was removed.
QString WorkingDirectory();

// The application's title: the executable's file name cut at its first ".", with every
// character after the first in lower case ("KORVEX.EXE" gives "Korvex").
QString ApplicationTitle(const QString& executableFileName);

// The same, for this process's executable.
QString ApplicationTitle();

} // namespace platform
