#include "CommandLine.h"

#include "platform/Version.h"

#include <QCoreApplication>
#include <cstdio>

namespace platform {

int UsageError(const QString& text) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n",
                 qUtf8Printable(QCoreApplication::applicationName()), qUtf8Printable(text),
                 qUtf8Printable(QCoreApplication::applicationName()));
    return UsageExitCode;
}

std::optional<int> ParseCommandLine(QCommandLineParser& parser, const QStringList& arguments) {
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(arguments))
        return UsageError(parser.errorText());
    // Qt adds --help-all beside --help; with no Qt options of note it says the same.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qUtf8Printable(QCoreApplication::applicationName()),
                    qUtf8Printable(platform::Version()));
        return 0;
    }
    return std::nullopt;
}

} // namespace platform
