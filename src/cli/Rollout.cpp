#include "Rollout.h"

#include "Supervisor.h"
#include "core/Replacement.h"
#include "datamodule/Data.h"
#include "datamodule/DataModuleStore.h"
#include "platform/BackupName.h"
#include "platform/ConnectionTarget.h"
#include "platform/Files.h"
#include "platform/Process.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace {

// Transfers smaller than this end before a progress line would be read.
constexpr qint64 ProgressThreshold = 4 << 20;

// Flushed at once: standard output may be a log file that must keep every line done so far.
void Print(std::FILE* stream, const QString& line) {
    std::fputs(qUtf8Printable(line + u'\n'), stream);
    std::fflush(stream);
}

// The database's message lines end in CR LF; a log wants plain line ends.
void PrintError(const QString& target, const QString& text) {
    Print(stderr,
          QStringLiteral("korvex-reports: %1: %2")
              .arg(target, QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"))));
}

QString Describe(const core::ContentDigest& digest) {
    return QStringLiteral("%1 bytes (SHA-256 %2)")
        .arg(digest.size)
        .arg(QString::fromLatin1(digest.sha256));
}

// One line on a terminal's standard error, rewritten as a large transfer goes on.
class TerminalProgress {
public:
    TerminalProgress() : enabled_(::isatty(STDERR_FILENO) == 1) {}
    ~TerminalProgress() {
        if (shown_)
            std::fputs("\r\033[K", stderr);
    }
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    void operator()(const core::Progress& progress) {
        if (!enabled_ || progress.total < ProgressThreshold)
            return;
        std::fprintf(stderr, "\r\033[K%s: %.1f of %.1f MiB",
                     qUtf8Printable(core::PhaseText(progress.phase)), progress.done / 1048576.0,
                     progress.total / 1048576.0);
        shown_ = true;
    }

private:
    const bool enabled_;
    bool shown_ = false;
};

// The data module on one database, its report list open.
void Open(TDM& dm, const QString& target, const Invocation& invocation) {
    dm.UseTarget(target);
    dm.UseLogin(invocation.login.user, invocation.login.password);
    dm.UseConnectTimeout(invocation.connectTimeout);
    dm.OpenReportList();
}

// The newest backup of the report in the folder, by the time in its name, then its number.
QString NewestBackup(const QString& reportId, const QString& directory) {
    const QDir folder(directory.isEmpty() ? platform::WorkingDirectory() : directory);
    std::optional<platform::BackupNameParts> newest;
    QString path;
    for (const QString& name : folder.entryList({QStringLiteral("B_*.FR3")}, QDir::Files)) {
        const auto parts = platform::ParseBackupFileName(name);
        if (!parts || parts->reportId != reportId)
            continue;
        if (!newest ||
            std::tie(parts->stamp, parts->attempt) > std::tie(newest->stamp, newest->attempt)) {
            newest = parts;
            path = folder.filePath(name);
        }
    }
    if (path.isEmpty())
        throw std::runtime_error(QStringLiteral("No backup of %1 (B_%1_*.FR3) in %2")
                                     .arg(reportId, folder.path())
                                     .toStdString());
    return path;
}

bool IsStandardOutput(const QString& path) {
    struct stat file, output;
    return ::stat(QFile::encodeName(path).constData(), &file) == 0 &&
           ::fstat(STDOUT_FILENO, &output) == 0 && file.st_dev == output.st_dev &&
           file.st_ino == output.st_ino;
}

// One identifier per line, its fields separated by tabs: an identifier holding either is escaped.
QString Escaped(const QString& text) {
    QString escaped;
    for (const QChar c : text) {
        if (c == u'\\')
            escaped += QStringLiteral("\\\\");
        else if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else if (c == u'\r')
            escaped += QStringLiteral("\\r");
        else if (c == u'\t')
            escaped += QStringLiteral("\\t");
        else
            escaped += c;
    }
    return escaped;
}

// What one command does on one database; false when it failed there.
class Command {
public:
    Command(const Invocation& invocation, Supervisor& supervisor)
        : invocation_(invocation), supervisor_(supervisor) {}
    virtual ~Command() = default;
    virtual bool Run(const QString& target, TDM& dm) = 0;
    // When the command could not be done on the database.
    virtual void Failed(const QString& target, const QString& text) {
        PrintError(target, supervisor_.failureText(text));
    }
    // After the last database.
    virtual void Finish(int /*databases*/, int /*failed*/) {}
    virtual int ExitCode(int failed) const { return failed == 0 ? 0 : 1; }

protected:
    const Invocation& invocation_;
    Supervisor& supervisor_;
};

class ListCommand final : public Command {
public:
    using Command::Command;
    bool Run(const QString& target, TDM& dm) override {
        QJsonArray reports;
        DataModuleStore store(dm);
        for (const core::StoredLayout& layout : core::ListLayouts(store)) {
            if (invocation_.json) {
                reports.append(QJsonObject{{"id", layout.reportId},
                                           {"size", layout.digest.size},
                                           {"sha256", QString::fromLatin1(layout.digest.sha256)}});
                continue;
            }
            const QString prefix = invocation_.targets.size() > 1 ? target + u'\t' : QString();
            Print(stdout, prefix + QStringLiteral("%1\t%2\t%3")
                                       .arg(Escaped(layout.reportId))
                                       .arg(layout.digest.size)
                                       .arg(QString::fromLatin1(layout.digest.sha256)));
        }
        if (invocation_.json)
            databases_.append(QJsonObject{{"database", target}, {"reports", reports}});
        return true;
    }
    void Failed(const QString& target, const QString& text) override {
        Command::Failed(target, text);
        if (invocation_.json)
            databases_.append(QJsonObject{{"database", target}, {"error", text}});
    }
    void Finish(int, int) override {
        if (invocation_.json)
            std::fputs(QJsonDocument(databases_).toJson().constData(), stdout);
    }

private:
    QJsonArray databases_;
};

class ExportCommand final : public Command {
public:
    using Command::Command;
    bool Run(const QString&, TDM& dm) override {
        const QString& reportId = invocation_.args[0];
        const QString& path = invocation_.args[1];
        if (path == u"-") {
            DataModuleStore store(dm);
            core::ExportLayout(store, reportId, [](const char* data, qint64 count) {
                if (std::fwrite(data, 1, static_cast<size_t>(count), stdout) !=
                    static_cast<size_t>(count))
                    throw std::runtime_error("Stream write error");
            });
            if (std::fflush(stdout) != 0)
                throw std::runtime_error("Stream write error");
            return true;
        }
        const core::ContentDigest digest = platform::IsExistingSpecialFile(path)
                                               ? exportInPlace(dm, reportId, path)
                                               : exportBeside(dm, reportId, path);
        // A line after the bytes would become part of them.
        if (!IsStandardOutput(path))
            Print(stdout,
                  QStringLiteral("exported %1: %2 to %3").arg(reportId, Describe(digest), path));
        return true;
    }

private:
    // A device or a pipe cannot be renamed over.
    static core::ContentDigest exportInPlace(TDM& dm, const QString& reportId,
                                             const QString& path) {
        platform::SpecialFileOutput file(path);
        DataModuleStore store(dm);
        const core::ContentDigest digest = core::ExportLayout(
            store, reportId, [&](const char* data, qint64 count) { file.write(data, count); });
        file.close();
        return digest;
    }
    // Written beside the file and renamed over it once whole.
    static core::ContentDigest exportBeside(TDM& dm, const QString& reportId, const QString& path) {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            throw std::runtime_error(
                QStringLiteral("Cannot create file \"%1\". %2")
                    .arg(QFileInfo(path).absoluteFilePath(), file.errorString())
                    .toStdString());
        DataModuleStore store(dm);
        const core::ContentDigest digest =
            core::ExportLayout(store, reportId, [&](const char* data, qint64 count) {
                if (file.write(data, count) != count)
                    throw std::runtime_error("Stream write error");
            });
        if (!file.commit())
            throw std::runtime_error("Stream write error");
        return digest;
    }
};

// Replace and restore: the window's replacement, verified, and not repeated when already done.
class ReplaceCommand final : public Command {
public:
    using Command::Command;
    bool Run(const QString& target, TDM& dm) override {
        const QString& reportId = invocation_.args[0];
        const QString file = templateFile();
        DataModuleStore store(dm);
        core::Replacer replacer(store);
        const Supervisor::Stopper stopper(supervisor_, [&](db::Database::Cancel how) {
            how == db::Database::Cancel::Raise ? replacer.Cancel() : replacer.Abort();
        });
        TerminalProgress progress;
        replacer.OnProgress = [&](const core::Progress& step) {
            progress(step);
        };
        const core::ReplaceOptions options{invocation_.backupDirectory, invocation_.dryRun, true,
                                           true, true};
        const core::Outcome outcome = replacer.Replace(reportId, file, options);
        ++counts_[outcome.result];
        // Past the backup, a failure leaves it on disk: say where.
        const QString kept = outcome.backupPath.isEmpty()
                                 ? QString()
                                 : QStringLiteral(" (the backup %1 stays)").arg(outcome.backupPath);
        const QString head = target + QStringLiteral(": ");
        switch (outcome.result) {
        case core::Outcome::Result::Replaced:
            Print(stdout, head + QStringLiteral("replaced %1 with %2 of %3; the %4 stored before "
                                                "are in %5")
                                     .arg(reportId, Describe(outcome.replacement), file,
                                          Describe(outcome.stored), outcome.backupPath));
            return true;
        case core::Outcome::Result::Unchanged:
            Print(stdout, head + QStringLiteral("unchanged %1: it already holds the bytes of %2")
                                     .arg(reportId, file));
            return true;
        case core::Outcome::Result::DryRun:
            Print(stdout, head + QStringLiteral("dry run %1: backed up %2 to %3; would store %4 "
                                                "of %5; rolled back")
                                     .arg(reportId, Describe(outcome.stored), outcome.backupPath,
                                          Describe(outcome.replacement), file));
            return true;
        case core::Outcome::Result::InDoubt:
            // Neither done nor failed: counted on its own, and the exit code says so.
            PrintError(target, outcome.text + kept);
            Print(stdout, head + QStringLiteral("IN DOUBT %1: the layout may or may not be stored; "
                                                "check it before trying again")
                                     .arg(reportId));
            return true;
        case core::Outcome::Result::Failed:
        case core::Outcome::Result::Error:
            break;
        }
        Failed(target, outcome.text + kept);
        return false;
    }
    void Failed(const QString& target, const QString& text) override {
        Command::Failed(target, text);
        Print(stdout, QStringLiteral("%1: FAILED %2: nothing stored was changed")
                          .arg(target, invocation_.args[0]));
    }
    void Finish(int databases, int failed) override {
        using Result = core::Outcome::Result;
        QString summary = QStringLiteral("%1 database(s): %2 replaced, %3 unchanged")
                              .arg(databases)
                              .arg(counted(Result::Replaced))
                              .arg(counted(Result::Unchanged));
        if (invocation_.dryRun)
            summary += QStringLiteral(", %1 dry run").arg(counted(Result::DryRun));
        summary += QStringLiteral(", %1 failed").arg(failed);
        if (counted(Result::InDoubt) > 0)
            summary += QStringLiteral(", %1 in doubt").arg(counted(Result::InDoubt));
        Print(stdout, summary);
    }
    // What may or may not be stored outranks what surely was not.
    int ExitCode(int failed) const override {
        return counted(core::Outcome::Result::InDoubt) > 0 ? 3 : Command::ExitCode(failed);
    }

private:
    QString templateFile() const {
        if (invocation_.command != u"restore" || invocation_.args.size() > 1)
            return invocation_.args[1];
        return NewestBackup(invocation_.args[0], invocation_.backupDirectory);
    }

    int counted(core::Outcome::Result result) const {
        const auto found = counts_.find(result);
        return found == counts_.end() ? 0 : found->second;
    }

    std::map<core::Outcome::Result, int> counts_;
};

std::unique_ptr<Command> MakeCommand(const Invocation& invocation, Supervisor& supervisor) {
    if (invocation.command == u"list")
        return std::make_unique<ListCommand>(invocation, supervisor);
    if (invocation.command == u"export")
        return std::make_unique<ExportCommand>(invocation, supervisor);
    return std::make_unique<ReplaceCommand>(invocation, supervisor);
}

void SayInterrupted(int signal, qsizetype notStarted) {
    Print(stderr, QStringLiteral("korvex-reports: interrupted by %1; %2 database(s) not started")
                      .arg(SignalName(signal))
                      .arg(notStarted));
}

} // namespace

int Run(const Invocation& invocation) {
    const QStringList targets = invocation.targets.isEmpty()
                                    ? QStringList{platform::DefaultConnectionTarget()}
                                    : invocation.targets;
    Supervisor supervisor(invocation.targetTimeout);
    const std::unique_ptr<Command> command = MakeCommand(invocation, supervisor);
    int started = 0;
    int failed = 0;
    for (const QString& target : targets) {
        if (supervisor.interruption())
            break;
        ++started;
        const Supervisor::Target work(supervisor);
        bool done = false;
        try {
            TDM dm;
            const Supervisor::Stopper stopper(
                supervisor, [&dm](db::Database::Cancel how) { dm.IBD.CancelOperation(how); });
            Open(dm, target, invocation);
            done = command->Run(target, dm);
        } catch (const std::exception& error) {
            command->Failed(target, QString::fromUtf8(error.what()));
        }
        failed += done ? 0 : 1;
    }
    command->Finish(started, failed);
    if (const std::optional<int> signal = supervisor.interruption()) {
        SayInterrupted(*signal, targets.size() - started);
        return Interrupted;
    }
    return command->ExitCode(failed);
}

} // namespace cli
