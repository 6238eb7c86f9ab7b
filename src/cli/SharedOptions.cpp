#include "SharedOptions.h"

#include "Command.h"
#include "Json.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTextStream>

namespace cli {
namespace {

QString FirstLine(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw UsageProblem{
            QStringLiteral("cannot read the password file %1: %2").arg(path, file.errorString())};
    return QTextStream(&file).readLine();
}

QList<Target> TargetsIn(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw UsageProblem{
            QStringLiteral("cannot read the targets file %1: %2").arg(path, file.errorString())};
    QList<Target> targets;
    QTextStream lines(&file);
    for (QString line; lines.readLineInto(&line);) {
        line = line.trimmed();
        if (!line.isEmpty() && !line.startsWith(u'#'))
            targets.append({line, {}});
    }
    // The working directory's database is only for a call that names none.
    if (targets.isEmpty())
        throw UsageProblem{QStringLiteral("the targets file %1 names no database").arg(path)};
    return targets;
}

// What a number counts: "seconds".
int NumberFrom(const QCommandLineParser& parser, const QCommandLineOption& option, int fewest,
               const QString& what) {
    bool ok = false;
    const int number = parser.value(option).toInt(&ok);
    if (!ok || number < fewest)
        throw UsageProblem{QStringLiteral("%1 takes a whole number of %2 from %3")
                               .arg(Spelled(option.names().constFirst()), what)
                               .arg(fewest)};
    return number;
}

int SecondsFrom(const QCommandLineParser& parser, const QCommandLineOption& option, int fewest) {
    return NumberFrom(parser, option, fewest, QStringLiteral("seconds"));
}

// An empty value would quietly mean a default: the working directory's database or folder.
void CheckValuesGiven(const QCommandLineParser& parser) {
    for (const QString& name : parser.optionNames())
        if (parser.values(name).contains(QString()))
            throw UsageProblem{QStringLiteral("%1 needs a value").arg(Spelled(name))};
}

} // namespace

void SharedOptions::AddTo(QCommandLineParser& parser) const {
    parser.addOptions({database_, targets_, user_, passwordFile_, connectTimeout_, timeout_, jobs_,
                       compress_, noCompress_, json_});
}

Invocation SharedOptions::InvocationFrom(const QCommandLineParser& parser) const {
    CheckValuesGiven(parser);
    Invocation invocation;
    invocation.args = parser.positionalArguments().mid(1);
    for (const QString& database : parser.values(database_))
        invocation.targets.append({database, {}});
    if (parser.isSet(targets_))
        invocation.targets += TargetsIn(parser.value(targets_));
    invocation.connectTimeout = SecondsFrom(parser, connectTimeout_, 1);
    invocation.targetTimeout = SecondsFrom(parser, timeout_, 0);
    invocation.jobs = NumberFrom(parser, jobs_, 1, QStringLiteral("databases"));
    if (parser.isSet(compress_) && parser.isSet(noCompress_))
        throw UsageProblem{QStringLiteral("--compress and --no-compress exclude each other")};
    invocation.compress = !parser.isSet(noCompress_);
    invocation.json = parser.isSet(json_);
    invocation.runId = NewRunId();
    return invocation;
}

Login SharedOptions::LoginFrom(const QCommandLineParser& parser) const {
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    Login login;
    if (parser.isSet(user_))
        login.user = parser.value(user_);
    else if (environment.contains(QStringLiteral("ISC_USER")))
        login.user = environment.value(QStringLiteral("ISC_USER"));
    if (parser.isSet(passwordFile_))
        login.password = FirstLine(parser.value(passwordFile_));
    else if (environment.contains(QStringLiteral("ISC_PASSWORD")))
        login.password = environment.value(QStringLiteral("ISC_PASSWORD"));
    return login;
}

} // namespace cli
