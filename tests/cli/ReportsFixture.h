#pragma once

// korvex-reports run as a process in a folder of its own, the way an administrator runs it.

#include "support/AppFixture.h"
#include "support/JsonLines.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace clitest {

struct ProgramRun {
    int exitCode = -1;
    QByteArray out;
    QString errors;
};

inline ProgramRun RunProgram(const QString& program, const QStringList& arguments,
                             const QString& folder, const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    ProgramRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "did not end: " << arguments.join(' ').toStdString();
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

inline QString Sha256(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

inline QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class KorvexReportsTest : public testing::Test {
private:
    QList<QJsonObject> JournalLines(bool summaries) const {
        QList<QJsonObject> lines = apptest::JsonLines(ReadFile(JournalPath()));
        lines.removeIf([&](const QJsonObject& line) {
            return (line["event"].toString() == "summary") != summaries;
        });
        return lines;
    }

protected:
    KorvexReportsTest() {
        environment.remove("ISC_USER");
        environment.remove("ISC_PASSWORD");
    }

    ProgramRun Reports(const QStringList& arguments) {
        return RunProgram(KORVEX_REPORTS_BINARY, arguments, folder.path(), environment);
    }
    QString File(const QString& name, const QByteArray& content) {
        const QString path = QDir(folder.path()).filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        return path;
    }
    static QString Private(const QString& path) {
        EXPECT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        return path;
    }
    // Relative to the folder, each database's in a folder of its own, earlier ones flat in it.
    QStringList Backups(const QString& id) const {
        QStringList found;
        QDirIterator backups(folder.path(), {"B_" + id + "_*.FR3"}, QDir::Files,
                             QDirIterator::Subdirectories);
        while (backups.hasNext())
            found << QDir(folder.path()).relativeFilePath(backups.next());
        found.sort();
        return found;
    }
    QString JournalPath() const { return folder.filePath("korvex-journal.jsonl"); }
    // The databases' lines of the journal, and the runs' summary lines.
    QList<QJsonObject> Journal() const { return JournalLines(false); }
    QList<QJsonObject> RunSummaries() const { return JournalLines(true); }

    QTemporaryDir folder;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};

} // namespace clitest
