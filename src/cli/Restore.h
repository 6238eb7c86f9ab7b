#pragma once

#include "JournalledReplacement.h"
#include "platform/BackupFolder.h"

namespace cli {

// restore ID [BACKUP]: a replacement from a backup file, by default the newest one of the
// identifier on each database.
class RestoreBackup final : public ReplacementSource {
public:
    Definition Defined() const override;
    void Take(const Invocation& invocation, const QCommandLineParser& parser,
              const QString& backupDirectory, const Journal& journal) override;
    QString ReportId() const override { return reportId_; }
    Replacement For(const Target& target) const override;

private:
    QString reportId_;
    QString backup_; // empty: the newest one
    QString backupDirectory_;
    platform::FlatBackups flat_ = platform::FlatBackups::Consider;
};

} // namespace cli
