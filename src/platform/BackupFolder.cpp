#include "BackupFolder.h"

#include "BackupName.h"
#include "ConnectionTarget.h"
#include "Files.h"
#include "Process.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Well within any file system's 255 bytes, and short enough for a listing.
constexpr qsizetype ReadableBytes = 100;
constexpr qsizetype HashDigits = 16;

// Letters and digits of any script, and the two marks every file system takes in a name.
bool Kept(QChar c) {
    return c.isLetterOrNumber() || c == u'.' || c == u'-';
}

// A leading "." would hide the folder, a leading "-" reads as an option, and Windows drops a
// trailing "." or blank.
bool Edge(QChar c) {
    return c == u'.' || c == u'-' || c == u'_';
}

QString Readable(const QString& target) {
    QString readable;
    qsizetype bytes = 0;
    for (const QChar c : target) {
        const QChar taken = Kept(c) ? c : QChar(u'_');
        if (taken == u'_' && readable.endsWith(u'_'))
            continue;
        bytes += QString(taken).toUtf8().size();
        if (bytes > ReadableBytes)
            break;
        readable += taken;
    }
    while (!readable.isEmpty() && Edge(readable.front()))
        readable.remove(0, 1);
    while (!readable.isEmpty() && Edge(readable.back()))
        readable.chop(1);
    return readable;
}

QString BaseDirectory(const QString& backupDirectory) {
    return backupDirectory.isEmpty() ? WorkingDirectory() : backupDirectory;
}

FileError CreateFolderFailure(const QString& path, int error) {
    return FileError(
        QStringLiteral("Cannot create folder \"%1\". %2").arg(path, SystemText(error)));
}

} // namespace

QString BackupFolderName(const QString& target) {
    const QString comparable = ComparableTarget(target);
    const QString hash = QString::fromLatin1(
        QCryptographicHash::hash(comparable.toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(HashDigits));
    const QString readable = Readable(comparable);
    return readable.isEmpty() ? hash : readable + u'_' + hash;
}

BackupFolder::BackupFolder(const QString& backupDirectory, const QString& target)
    : BackupFolder(Named{BaseDirectory(backupDirectory), BackupFolderName(target)}) {}

BackupFolder::BackupFolder(const Named& folder)
    : parent_(
          ::open(QFile::encodeName(folder.base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      path_(QDir(folder.base).filePath(folder.name)), made_(parent_, DirectoryEntry::Kind::Folder) {
    if (!parent_)
        throw CreateFolderFailure(path_, errno);
    const QByteArray name = QFile::encodeName(folder.name);
    if (::mkdirat(parent_.get(), name.constData(), 0777) == 0) {
        made_.hold(name);
        // The folder must outlast a crash as the backup in it does.
        if (::fsync(parent_.get()) != 0 && errno != EINVAL)
            throw CreateFolderFailure(path_, errno);
        return;
    }
    if (errno != EEXIST)
        throw CreateFolderFailure(path_, errno);
    // A link there could lead the backups anywhere; it is not followed.
    struct stat status {};
    if (::fstatat(parent_.get(), name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        throw CreateFolderFailure(path_, errno);
    if (!S_ISDIR(status.st_mode))
        throw CreateFolderFailure(path_, ENOTDIR);
}

std::optional<QString> NewestBackup(const QString& reportId, const QString& directory) {
    const QDir folder(directory);
    std::optional<BackupNameParts> newest;
    QString path;
    for (const QString& name : folder.entryList({QStringLiteral("B_*.FR3")}, QDir::Files)) {
        const auto parts = ParseBackupFileName(name);
        if (!parts || parts->reportId != reportId)
            continue;
        if (!newest ||
            std::tie(parts->stamp, parts->attempt) > std::tie(newest->stamp, newest->attempt)) {
            newest = parts;
            path = folder.filePath(name);
        }
    }
    return newest ? std::optional(path) : std::nullopt;
}

QString NewestBackupOf(const QString& reportId, const QString& backupDirectory,
                       const QString& target, FlatBackups flat) {
    const QString base = BaseDirectory(backupDirectory);
    const QString own = QDir(base).filePath(BackupFolderName(target));
    if (std::optional<QString> found = NewestBackup(reportId, own))
        return *found;
    QString searched = own;
    if (flat == FlatBackups::Consider) {
        if (std::optional<QString> found = NewestBackup(reportId, base))
            return *found;
        searched += QStringLiteral(" or in ") + QDir(base).path();
    }
    throw std::runtime_error(
        QStringLiteral("No backup of %1 (B_%1_*.FR3) in %2").arg(reportId, searched).toStdString());
}

} // namespace platform
