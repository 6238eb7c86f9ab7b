#include "Restore.h"

#include "platform/BackupName.h"
#include "platform/Files.h"

#include <QDir>
#include <QFileInfo>

namespace cli {
namespace {

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

// A backup named for another identifier would store another layout under this one. A file of any
// other name stays allowed: replace stores whatever file it is given.
void CheckBackupName(const QString& reportId, const QString& backup) {
    const auto parts = platform::ParseBackupFileName(QFileInfo(backup).fileName());
    if (parts && parts->reportId != reportId)
        throw UsageProblem{QStringLiteral("%1 is a backup of %2, not of %3")
                               .arg(backup, parts->reportId, reportId)};
}

} // namespace

Definition RestoreBackup::Defined() const {
    return {QStringLiteral("restore"),
            {{IdArgument}, {QStringLiteral("BACKUP"), true}},
            {},
            QStringLiteral("replace from a backup file, by default the newest B_<ID>_*.FR3 in "
                           "the backup folder")};
}

void RestoreBackup::Take(const Invocation& invocation, const QCommandLineParser&,
                         const QString& backupDirectory, const Journal&) {
    const QStringList& args = invocation.args;
    // The newest backup in a shared folder may be another database's layout.
    if (args.size() == 1 && invocation.targets.size() > 1)
        throw UsageProblem{QStringLiteral("restore on several databases needs the BACKUP file")};
    reportId_ = args[0];
    backup_ = args.value(1);
    backupDirectory_ = backupDirectory;
    if (!backup_.isEmpty()) {
        CheckBackupName(reportId_, backup_);
        CheckReadable(backup_);
    }
}

Replacement RestoreBackup::For(const Target&) const {
    return {backup_.isEmpty() ? NewestBackup(reportId_, backupDirectory_) : backup_};
}

} // namespace cli
