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

Restore::Restore()
    : Replace({QStringLiteral("restore"),
               {{IdArgument}, {QStringLiteral("BACKUP"), true}},
               {},
               QStringLiteral("replace from a backup file, by default the newest B_<ID>_*.FR3 in "
                              "the database's folder of the backup folder")}) {}

void Restore::Check(const QCommandLineParser& parser) {
    Replace::Check(parser);
    const QStringList& args = invocation().args;
    if (args.size() == 2)
        CheckBackupName(args[0], args[1]);
}

// A backup flat in the backup folder, from before each database had a folder of its own, may be
// another database's where several shared it.
QString Restore::templateFile(const Target& target) const {
    const QStringList& args = invocation().args;
    if (args.size() > 1)
        return args[1];
    const auto flat = invocation().targets.size() > 1 ? platform::FlatBackups::Ignore
                                                      : platform::FlatBackups::Consider;
    return platform::NewestBackupOf(args[0], backupDirectory(), target.database, flat);
}

} // namespace cli
