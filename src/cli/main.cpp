// korvex-reports: the layout replacement of the Korvex window, for scripts and for rolling one
// layout out to many databases.

#include "Rollout.h"
#include "core/CommandLine.h"
#include "platform/BackupName.h"
#include "platform/Files.h"
#include "platform/Termination.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTextStream>
#include <map>

namespace {

// Each command with its count of arguments (fewest, most).
const std::map<QString, std::pair<int, int>> Commands = {
    {QStringLiteral("list"), {0, 0}},
    {QStringLiteral("export"), {2, 2}},
    {QStringLiteral("replace"), {2, 2}},
    {QStringLiteral("restore"), {1, 2}},
};

const QString Description = QStringLiteral(
    "Lists, exports, replaces and restores the report layouts stored in the table REPORTS of "
    "office databases, on each database named in turn.\n\n"
    "Commands:\n"
    "  list              identifier, size in bytes and SHA-256 of every stored layout\n"
    "  export ID FILE    the stored bytes of one layout, byte for byte (FILE - : standard "
    "output)\n"
    "  replace ID FILE   back up the stored layout to B_<ID>_<yymmddhhnnss>.FR3, store the "
    "file's bytes, read them back, commit; nothing when they are stored already\n"
    "  restore ID [BACKUP]  replace from a backup file, by default the newest B_<ID>_*.FR3 in "
    "the backup folder\n\n"
    "Login: --user, else ISC_USER, else sysdba; --password-file, else ISC_PASSWORD, else the "
    "tool's own.\n"
    "Exit status: 0 done on every database, 1 failed on at least one (nothing stored changed "
    "there), 2 usage error, 3 a commit in doubt on at least one (check that layout), 4 "
    "interrupted: SIGTERM, SIGINT or SIGHUP stopped the work in flight as --timeout does and no "
    "further database started.");

struct Options {
    QCommandLineOption database{{QStringLiteral("d"), QStringLiteral("database")},
                                QStringLiteral("A database to work on (repeatable). Default: "
                                               "127.0.0.1:<working directory>/KORVEX.FDB."),
                                QStringLiteral("target")};
    QCommandLineOption targets{QStringLiteral("targets"),
                               QStringLiteral("Work on each database named in the file, one per "
                                              "line; blank lines and lines starting with # are "
                                              "skipped."),
                               QStringLiteral("file")};
    QCommandLineOption user{QStringLiteral("user"), QStringLiteral("The user to log in as."),
                            QStringLiteral("name")};
    QCommandLineOption passwordFile{QStringLiteral("password-file"),
                                    QStringLiteral("Read the password from the first line of the "
                                                   "file."),
                                    QStringLiteral("file")};
    QCommandLineOption backupDir{QStringLiteral("backup-dir"),
                                 QStringLiteral("replace, restore: the folder for backups and "
                                                "where restore looks for them. Default: the "
                                                "working directory."),
                                 QStringLiteral("dir")};
    QCommandLineOption dryRun{QStringLiteral("dry-run"),
                              QStringLiteral("replace, restore: write the backup, then roll "
                                             "back; nothing stored changes.")};
    QCommandLineOption json{QStringLiteral("json"), QStringLiteral("list: print JSON.")};
    QCommandLineOption connectTimeout{QStringLiteral("connect-timeout"),
                                      QStringLiteral("Give up a connect that the server has not "
                                                     "answered in this many seconds. Default: "
                                                     "15."),
                                      QStringLiteral("seconds"), QStringLiteral("15")};
    QCommandLineOption timeout{QStringLiteral("timeout"),
                               QStringLiteral("Stop the work on a database that has not ended in "
                                              "this many seconds, connect included; it fails "
                                              "there, nothing stored changes, and the next "
                                              "database starts. Default: 0, no limit."),
                               QStringLiteral("seconds"), QStringLiteral("0")};

    void addTo(QCommandLineParser& parser) {
        parser.addOptions({database, targets, user, passwordFile, backupDir, dryRun, json,
                           connectTimeout, timeout});
    }
};

// Thrown for a command line that cannot be carried out as written.
struct UsageProblem {
    QString text;
};

QString FirstLine(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw UsageProblem{
            QStringLiteral("cannot read the password file %1: %2").arg(path, file.errorString())};
    return QTextStream(&file).readLine();
}

QStringList TargetsIn(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw UsageProblem{
            QStringLiteral("cannot read the targets file %1: %2").arg(path, file.errorString())};
    QStringList targets;
    QTextStream lines(&file);
    for (QString line; lines.readLineInto(&line);) {
        line = line.trimmed();
        if (!line.isEmpty() && !line.startsWith(u'#'))
            targets << line;
    }
    // The working directory's database is only for a call that names none.
    if (targets.isEmpty())
        throw UsageProblem{QStringLiteral("the targets file %1 names no database").arg(path)};
    return targets;
}

int SecondsFrom(const QCommandLineParser& parser, const QCommandLineOption& option, int fewest) {
    bool ok = false;
    const int seconds = parser.value(option).toInt(&ok);
    if (!ok || seconds < fewest)
        throw UsageProblem{QStringLiteral("--%1 takes a whole number of seconds from %2")
                               .arg(option.names().constFirst())
                               .arg(fewest)};
    return seconds;
}

cli::Login LoginFrom(const QCommandLineParser& parser, const Options& options) {
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    cli::Login login;
    if (parser.isSet(options.user))
        login.user = parser.value(options.user);
    else if (environment.contains(QStringLiteral("ISC_USER")))
        login.user = environment.value(QStringLiteral("ISC_USER"));
    if (parser.isSet(options.passwordFile))
        login.password = FirstLine(parser.value(options.passwordFile));
    else if (environment.contains(QStringLiteral("ISC_PASSWORD")))
        login.password = environment.value(QStringLiteral("ISC_PASSWORD"));
    return login;
}

// A backup named for another identifier would store another layout under this one. A file of any
// other name stays allowed: replace stores whatever file it is given.
void CheckBackupName(const QString& reportId, const QString& backup) {
    const auto parts = platform::ParseBackupFileName(QFileInfo(backup).fileName());
    if (parts && parts->reportId != reportId)
        throw UsageProblem{QStringLiteral("%1 is a backup of %2, not of %3")
                               .arg(backup, parts->reportId, reportId)};
}

void CheckCommand(const cli::Invocation& invocation) {
    const auto command = Commands.find(invocation.command);
    if (command == Commands.end())
        throw UsageProblem{invocation.command.isEmpty()
                               ? QStringLiteral("a command is needed: list, export, replace or "
                                                "restore")
                               : QStringLiteral("unknown command %1").arg(invocation.command)};
    const auto [fewest, most] = command->second;
    if (invocation.args.size() < fewest || invocation.args.size() > most)
        throw UsageProblem{QStringLiteral("wrong number of arguments for %1").arg(command->first)};
    if (invocation.args.contains(QString()))
        throw UsageProblem{QStringLiteral("an empty argument for %1").arg(command->first)};
    const bool replacing = invocation.command == u"replace" || invocation.command == u"restore";
    if (invocation.dryRun && !replacing)
        throw UsageProblem{QStringLiteral("--dry-run goes with replace and restore")};
    if (!invocation.backupDirectory.isEmpty() && !replacing)
        throw UsageProblem{QStringLiteral("--backup-dir goes with replace and restore")};
    if (invocation.json && invocation.command != u"list")
        throw UsageProblem{QStringLiteral("--json goes with list")};
    if (invocation.command == u"export" && invocation.targets.size() > 1)
        throw UsageProblem{QStringLiteral("export takes one database")};
    if (invocation.command != u"restore")
        return;
    // The newest backup in a shared folder may be another database's layout.
    if (invocation.args.size() == 1 && invocation.targets.size() > 1)
        throw UsageProblem{QStringLiteral("restore on several databases needs the BACKUP file")};
    if (invocation.args.size() == 2)
        CheckBackupName(invocation.args[0], invocation.args[1]);
}

// An empty value would quietly mean a default: the working directory's database or folder.
void CheckValuesGiven(const QCommandLineParser& parser) {
    for (const QString& name : parser.optionNames())
        if (parser.values(name).contains(QString()))
            throw UsageProblem{
                QStringLiteral("%1%2 needs a value").arg(name.size() == 1 ? "-" : "--", name)};
}

cli::Invocation InvocationFrom(const QCommandLineParser& parser, const Options& options) {
    cli::Invocation invocation;
    const QStringList positional = parser.positionalArguments();
    invocation.command = positional.value(0);
    invocation.args = positional.mid(1);
    CheckValuesGiven(parser);
    invocation.targets = parser.values(options.database);
    if (parser.isSet(options.targets))
        invocation.targets += TargetsIn(parser.value(options.targets));
    invocation.backupDirectory = parser.value(options.backupDir);
    invocation.dryRun = parser.isSet(options.dryRun);
    invocation.json = parser.isSet(options.json);
    invocation.connectTimeout = SecondsFrom(parser, options.connectTimeout, 1);
    invocation.targetTimeout = SecondsFrom(parser, options.timeout, 0);
    CheckCommand(invocation);
    invocation.login = LoginFrom(parser, options);
    return invocation;
}

} // namespace

int main(int argc, char* argv[]) {
    platform::ReportFileSizeLimitAsWriteError();
    // Before any thread exists, so that all of them inherit it; cli::Run takes them.
    platform::HoldTerminationSignals();
    const QCoreApplication application(argc, argv);
    platform::UseUtf8CharacterType();
    QCommandLineParser parser;
    parser.setApplicationDescription(Description);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("list, export, replace or restore."),
                                 QStringLiteral("command [arguments]"));
    Options options;
    options.addTo(parser);
    if (const std::optional<int> exitCode = core::ParseCommandLine(parser, application.arguments()))
        return *exitCode;
    try {
        const cli::Invocation invocation = InvocationFrom(parser, options);
        // Taken into the login: the client library gets them from there, and nothing this
        // process starts inherits the password.
        qunsetenv("ISC_USER");
        qunsetenv("ISC_PASSWORD");
        return cli::Run(invocation);
    } catch (const UsageProblem& problem) {
        return core::UsageError(problem.text);
    }
}
