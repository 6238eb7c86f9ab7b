#pragma once

#include <QCommandLineParser>
#include <QStringList>
#include <optional>

namespace platform {

// Exit code of a command line that cannot be understood.
inline constexpr int UsageExitCode = 2;

// Parses the arguments with the parser's options plus --help and --version, which it answers on
// standard output. Returns the exit code when the program should end now: 0 after help or version,
// UsageExitCode after a usage error, told on standard error. A QCoreApplication must exist.
std::optional<int> ParseCommandLine(QCommandLineParser& parser, const QStringList& arguments);

// Tells a usage error on standard error the way ParseCommandLine does, and returns UsageExitCode.
int UsageError(const QString& text);

} // namespace platform
