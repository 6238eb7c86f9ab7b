#pragma once

#include "Files.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace platform {

// The name of a database's own folder for backups: the target made readable and safe on any file
// system (each run of characters a file system may refuse, or that would hide or climb the
// folder, becomes one "_"; at most 100 bytes of it), then "_" and 16 hexadecimal digits of the
// SHA-256 of the target as ComparableTarget spells it. So spellings that compare equal share a
// folder, and targets that differ only in what the readable part drops, or in case, never do.
QString BackupFolderName(const QString& target);

// A database's folder in the backup directory (the working directory when empty), created when
// missing; the backup directory itself must exist. One this object made is removed again when it
// is destroyed with nothing in it, so a database left unchanged, or failed before its backup,
// leaves no empty folder. Fails with platform::FileError "Cannot create folder \"<path>\".
// <system text>", also when the name is taken by something else than a folder, a link included.
class BackupFolder {
public:
    BackupFolder(const QString& backupDirectory, const QString& target);

    const QString& path() const { return path_; }

private:
    struct Named {
        QString base; // the backup directory, the working directory when none
        QString name; // the database's folder in it
    };
    explicit BackupFolder(const Named& folder);

    FileDescriptor parent_;
    QString path_;
    DirectoryEntry made_; // only an empty folder can be removed: a backup keeps it
};

// The newest B_<id>_*.FR3 in the directory, by the time in its name, then its attempt.
std::optional<QString> NewestBackup(const QString& reportId, const QString& directory);

// Where a layout's backups may be found on a database: its own folder, else, for a run on one
// database only, the backup directory itself, where backups used to be written for every
// database. Fails with std::runtime_error "No backup of <id> (B_<id>_*.FR3) in <folder>".
enum class FlatBackups { Ignore, Consider };
QString NewestBackupOf(const QString& reportId, const QString& backupDirectory,
                       const QString& target, FlatBackups flat);

} // namespace platform
