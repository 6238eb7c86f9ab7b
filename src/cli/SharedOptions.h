#pragma once

#include "Invocation.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace cli {

// The option's value, a whole number from fewest on, of what it counts ("seconds"). Throws
// UsageProblem.
int NumberFrom(const QCommandLineParser& parser, const QCommandLineOption& option, int fewest,
               const QString& what);

// The options of every command: the databases, how to log in and how long to wait.
class SharedOptions {
public:
    void AddTo(QCommandLineParser& parser) const;
    // The invocation the parsed line asks for, its login not yet read. Throws UsageProblem.
    Invocation InvocationFrom(const QCommandLineParser& parser) const;
    // The user and the password into the run's login: from the options, else the environment.
    // Throws UsageProblem.
    void ReadLogin(const QCommandLineParser& parser, db::ConnectionOptions& login) const;

private:
    const QCommandLineOption database_{{QStringLiteral("d"), QStringLiteral("database")},
                                       QStringLiteral("A database to work on (repeatable). "
                                                      "Default: 127.0.0.1:<working "
                                                      "directory>/KORVEX.FDB."),
                                       QStringLiteral("target")};
    const QCommandLineOption targets_{QStringLiteral("targets"),
                                      QStringLiteral("Work on each database named in the file, "
                                                     "one per line, each with its own user= and "
                                                     "password-file= if given (see the manual "
                                                     "page); lines starting with # are skipped."),
                                      QStringLiteral("file")};
    const QCommandLineOption user_{QStringLiteral("user"), QStringLiteral("The user to log in as."),
                                   QStringLiteral("name")};
    const QCommandLineOption passwordFile_{QStringLiteral("password-file"),
                                           QStringLiteral("Read the password from the first line "
                                                          "of the file, which only its owner may "
                                                          "read and write."),
                                           QStringLiteral("file")};
    const QCommandLineOption connectTimeout_{QStringLiteral("connect-timeout"),
                                             QStringLiteral("Give up a connect that the server "
                                                            "has not answered in this many "
                                                            "seconds. Default: 15."),
                                             QStringLiteral("seconds"), QStringLiteral("15")};
    const QCommandLineOption timeout_{QStringLiteral("timeout"),
                                      QStringLiteral("Stop the work on a database that has not "
                                                     "ended in this many seconds, connect "
                                                     "included; it fails there, nothing stored "
                                                     "changes, and the next database starts. "
                                                     "Default: 0, no limit."),
                                      QStringLiteral("seconds"), QStringLiteral("0")};
    const QCommandLineOption jobs_{QStringLiteral("jobs"),
                                   QStringLiteral("Work on this many databases at once, each on "
                                                  "its own connection; the lines still come in "
                                                  "the databases' order. 1: one after the other. "
                                                  "Default: 4."),
                                   QStringLiteral("count"), QStringLiteral("4")};
    const QCommandLineOption compress_{
        QStringLiteral("compress"), QStringLiteral("Ask the server to compress the connection's "
                                                   "traffic, also to this machine. Default: only "
                                                   "to another host.")};
    const QCommandLineOption noCompress_{QStringLiteral("no-compress"),
                                         QStringLiteral("Send the traffic uncompressed, also to "
                                                        "another host.")};
    const QCommandLineOption json_{QStringLiteral("json"),
                                   QStringLiteral("Print one JSON object per database, then one "
                                                  "for the run, each on a line of its own.")};
};

} // namespace cli
