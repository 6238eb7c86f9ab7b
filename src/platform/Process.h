#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

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

// A command line split into words as a POSIX shell splits it, without running one (nothing is
// expanded): blanks separate words; 'single quotes' keep everything; "double quotes" keep all but
// a backslash before " \ $ ` or a line break; a backslash outside quotes keeps the next
// character. Throws std::invalid_argument "an unterminated quote" or "a backslash at the end".
QStringList ShellWords(const QString& text);

// Runs the program (the first word) with the rest as its arguments, no shell between, its standard
// error this process's own; its standard output is handed over as it comes. Returns its exit
// status. Throws std::runtime_error "cannot run <program>: <why>" when it cannot be started or
// ends on a signal.
int RunProgram(const QStringList& command, const std::function<void(const QByteArray&)>& output);

} // namespace platform
