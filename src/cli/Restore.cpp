#include "Restore.h"

#include "platform/BackupFolder.h"
#include "platform/BackupName.h"

#include <QFileInfo>

namespace cli {
namespace {

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
                           "the database's folder of the backup folder")};
}

void RestoreBackup::Take(const Invocation& invocation, const QCommandLineParser&,
                         const QString& backupDirectory, const Journal&) {
    const QStringList& args = invocation.args;
    // A backup flat in the backup folder, from before each database had a folder of its own, may
    // be another database's where several shared it.
    flat_ = invocation.targets.size() > 1 ? platform::FlatBackups::Ignore
                                          : platform::FlatBackups::Consider;
    reportId_ = args[0];
    backup_ = args.value(1);
    backupDirectory_ = backupDirectory;
    if (!backup_.isEmpty()) {
        CheckBackupName(reportId_, backup_);
        CheckReadable(backup_);
    }
}

Replacement RestoreBackup::For(const Target& target) const {
    if (!backup_.isEmpty())
        return {backup_};
    return {platform::NewestBackupOf(reportId_, backupDirectory_, target.database, flat_)};
}

} // namespace cli
