#include "SharedOptions.h"

#include "Command.h"
#include "Json.h"
#include "TargetsFile.h"
#include "platform/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace cli {
namespace {

// A file's bytes and mode, read through one descriptor.
struct FileContent {
    QByteArray bytes;
    mode_t mode = 0;
};

// Only a regular file: a FIFO would wait for a writer for ever, a device might never end. `what`
// names it in the errors: "password file".
FileContent RegularFileContent(const QString& path, const QString& what) {
    const auto unreadable = [&](const QString& reason) {
        return UsageProblem{QStringLiteral("cannot read the %1 %2: %3").arg(what, path, reason)};
    };
    // Non-blocking, so that opening a FIFO without a writer does not wait.
    const platform::FileDescriptor fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0)
        throw unreadable(platform::SystemText(errno));
    if (!S_ISREG(status.st_mode))
        throw UsageProblem{QStringLiteral("the %1 %2 is not a regular file").arg(what, path)};
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        throw unreadable(file.errorString());
    FileContent content{file.readAll(), status.st_mode};
    if (file.error() != QFileDevice::NoError)
        throw unreadable(file.errorString());
    return content;
}

// The file must be its owner's alone, as ssh wants of a private key: a password that others
// could read is no secret, one that others could write is not the owner's.
void CheckPrivate(const QString& path, mode_t mode) {
    const mode_t exposed = mode & 066;
    if (exposed == 0)
        return;
    const QString access = (exposed & 044) == 0   ? QStringLiteral("writable")
                           : (exposed & 022) == 0 ? QStringLiteral("readable")
                                                  : QStringLiteral("readable and writable");
    const QString whom = (exposed & 006) == 0   ? QStringLiteral("its group")
                         : (exposed & 060) == 0 ? QStringLiteral("others")
                                                : QStringLiteral("its group and others");
    throw UsageProblem{QStringLiteral("the password file %1 is %2 by %3 (mode %4); chmod 600 it")
                           .arg(path, access, whom)
                           .arg(mode & 07777, 4, 8, QChar(u'0'))};
}

// Its first line, from a file only its owner may read and write. An empty one would log in
// without a password and get the server's puzzling refusal.
QString PasswordIn(const QString& path) {
    const FileContent content = RegularFileContent(path, QStringLiteral("password file"));
    CheckPrivate(path, content.mode);
    const qsizetype end = content.bytes.indexOf('\n');
    const QByteArray line = end < 0 ? content.bytes : content.bytes.first(end);
    const QByteArray password = line.endsWith('\r') ? line.chopped(1) : line;
    if (password.isEmpty())
        throw UsageProblem{QStringLiteral("the password file %1 is empty").arg(path)};
    return QString::fromUtf8(password);
}

// A line's own login, its password file placed beside the targets file when relative.
db::ConnectionOptions LoginOf(const TargetLine& line, const QString& path) {
    db::ConnectionOptions login{.user = line.user};
    if (!line.passwordFile)
        return login;
    try {
        login.password = PasswordIn(QFileInfo(path).dir().filePath(*line.passwordFile));
    } catch (const UsageProblem& problem) {
        throw UsageProblem{
            QStringLiteral("%1:%2: %3").arg(path, QString::number(line.line), problem.text)};
    }
    return login;
}

// The whole file is read before any password file, and all of it before any database.
QList<Target> TargetsIn(const QString& path) {
    QList<TargetLine> lines;
    try {
        lines = ParseTargets(RegularFileContent(path, QStringLiteral("targets file")).bytes, path);
    } catch (const TargetsFileError& error) {
        throw UsageProblem{QString::fromUtf8(error.what())};
    }
    // The working directory's database is only for a call that names none.
    if (lines.isEmpty())
        throw UsageProblem{QStringLiteral("the targets file %1 names no database").arg(path)};
    QList<Target> targets;
    for (const TargetLine& line : lines)
        targets.append({line.database, LoginOf(line, path)});
    return targets;
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
    invocation.login.connectTimeoutSeconds = SecondsFrom(parser, connectTimeout_, 1);
    invocation.targetTimeout = SecondsFrom(parser, timeout_, 0);
    invocation.jobs = NumberFrom(parser, jobs_, 1, QStringLiteral("databases"));
    if (parser.isSet(compress_) && parser.isSet(noCompress_))
        throw UsageProblem{QStringLiteral("--compress and --no-compress exclude each other")};
    if (parser.isSet(compress_) || parser.isSet(noCompress_))
        invocation.login.wireCompression = parser.isSet(compress_);
    invocation.json = parser.isSet(json_);
    invocation.runId = NewRunId();
    return invocation;
}

void SharedOptions::ReadLogin(const QCommandLineParser& parser,
                              db::ConnectionOptions& login) const {
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (parser.isSet(user_))
        login.user = parser.value(user_);
    else if (environment.contains(QStringLiteral("ISC_USER")))
        login.user = environment.value(QStringLiteral("ISC_USER"));
    if (parser.isSet(passwordFile_))
        login.password = PasswordIn(parser.value(passwordFile_));
    else if (environment.contains(QStringLiteral("ISC_PASSWORD")))
        login.password = environment.value(QStringLiteral("ISC_PASSWORD"));
}

} // namespace cli
