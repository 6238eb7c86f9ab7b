// korvex-reports: the layout replacement of the Korvex window, for scripts and for rolling one
// layout out to many databases.

#include "Commands.h"
#include "Rollout.h"
#include "SharedOptions.h"
#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Termination.h"

#include <QCoreApplication>

namespace {

const QString Summary = QStringLiteral(
    "Lists, exports, replaces and restores the report layouts stored in the table REPORTS of "
    "office databases, on each database named in turn, tells which version each holds and what "
    "storing a file would change, and tells the history of its runs from its journal.");

const QString Trailer = QStringLiteral(
    "Login: a targets file line's user= and password-file=, else --user or ISC_USER, else "
    "sysdba; --password-file or ISC_PASSWORD, else the tool's own.\n"
    "Exit status: 0 done on every database, 1 failed on at least one (nothing stored changed "
    "there; status: one unreached, without the row or holding another version), 2 usage "
    "error, 3 a commit in doubt on at least one (check that layout; diff: a database not "
    "reached or a diff not shown), 4 interrupted: SIGTERM, "
    "SIGINT or SIGHUP stopped the work in flight as --timeout does and no "
    "further database started.");

} // namespace

int main(int argc, char* argv[]) {
    platform::ReportFileSizeLimitAsWriteError();
    // Before any thread exists, so that all of them inherit it; cli::Run takes them.
    platform::HoldTerminationSignals();
    const QCoreApplication application(argc, argv);
    platform::UseUtf8CharacterType();
    cli::Commands commands;
    const cli::SharedOptions shared;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringList{Summary, commands.Help(), Trailer}.join(QStringLiteral("\n\n")));
    shared.AddTo(parser);
    commands.AddTo(parser);
    if (const std::optional<int> exitCode =
            platform::ParseCommandLine(parser, application.arguments()))
        return *exitCode;
    try {
        cli::Invocation invocation = shared.InvocationFrom(parser);
        const std::unique_ptr<cli::Command> command = commands.Take(parser, invocation);
        shared.ReadLogin(parser, invocation.login);
        // Taken into the login: the client library gets them from there, and nothing this
        // process starts inherits the password.
        qunsetenv("ISC_USER");
        qunsetenv("ISC_PASSWORD");
        if (const std::optional<int> exitCode = command->RunWithoutDatabases())
            return *exitCode;
        return cli::Run(invocation, *command);
    } catch (const cli::UsageProblem& problem) {
        return platform::UsageError(problem.text);
    }
}
