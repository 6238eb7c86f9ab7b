#include "Files.h"

#include "BackupName.h"

#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace platform {

QString SystemText(int error) {
    QString text = QString::fromLocal8Bit(std::strerror(error));
    while (!text.isEmpty() && (text.back().isSpace() || text.back() == u'.'))
        text.chop(1);
    return text;
}

namespace {

const QString StreamReadError = QStringLiteral("Stream read error");
const QString StreamWriteError = QStringLiteral("Stream write error");

FileError OpenFailure(const QString& path, int error) {
    return FileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, SystemText(error)));
}

// open(2) with O_NOFOLLOW says only "Too many levels of symbolic links".
FileError OpenFailureNoFollow(const QString& path, int error) {
    if (error != ELOOP)
        return OpenFailure(path, error);
    return FileError(
        QStringLiteral("Cannot open file \"%1\". It is a symbolic link, which is not followed")
            .arg(path));
}

FileError CreateFailure(const QString& path, int error) {
    return FileError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, SystemText(error)));
}

QString JoinPath(const QString& directory, const QString& name) {
    if (directory.isEmpty())
        return name;
    return directory.endsWith(u'/') ? directory + name : directory + u'/' + name;
}

QString FullPath(const QString& path) {
    return path.startsWith(u'/') ? path : JoinPath(WorkingDirectory(), path);
}

int OpenPath(const QString& path, int flags, mode_t mode = 0) {
    return ::open(QFile::encodeName(path).constData(), flags, mode);
}

FileError WriteFailure(int error) {
    return FileError(StreamWriteError + QStringLiteral(". ") + SystemText(error));
}

// The window's backup failures name no cause of their own.
FileError BackupWriteFailure(int error) {
    return FileError(StreamWriteError, SystemText(error));
}

// 0 once every byte is written, else the error number.
int WriteAll(int fd, const char* data, qint64 count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, data, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        data += written;
        count -= written;
    }
    return 0;
}

// A random hidden name that is taken this often in a row means something else is wrong.
constexpr int HiddenNameAttempts = 99;

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

FileError::FileError(const QString& text, QString reason)
    : std::runtime_error(text.toStdString()), reason_(std::move(reason)) {}

FileDescriptor::~FileDescriptor() {
    reset(-1);
}

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {

// The file's status, where it is a regular file; fails as an open of it would otherwise.
struct stat RegularFileStatus(int fd, const QString& fullPath) {
    struct stat status;
    if (::fstat(fd, &status) != 0)
        throw OpenFailure(fullPath, errno);
    if (!S_ISREG(status.st_mode))
        throw OpenFailure(fullPath, S_ISDIR(status.st_mode) ? EISDIR : ENOTSUP);
    return status;
}

// Where the last line ends: a final line break ends it rather than starting an empty one.
off_t EndOfLastLine(int fd, const struct stat& status) {
    char last = 0;
    const bool broken =
        status.st_size > 0 && ::pread(fd, &last, 1, status.st_size - 1) == 1 && last == '\n';
    return broken ? status.st_size - 1 : status.st_size;
}

} // namespace

InputFile::InputFile(const QString& path, Links links)
    : path_(FullPath(path)),
      // Non-blocking, so that a FIFO without a writer does not hang the open.
      fd_(OpenPath(path_, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                              (links == Links::Refuse ? O_NOFOLLOW : 0))) {
    if (!fd_)
        throw OpenFailureNoFollow(path_, errno);
    const struct stat status = RegularFileStatus(fd_.get(), path_);
    if (::flock(fd_.get(), LOCK_SH | LOCK_NB) != 0)
        throw OpenFailure(path_, errno);
    if (status.st_size > MaxSize)
        throw OpenFailure(path_, EFBIG);
    size_ = status.st_size;
    modified_ = status.st_mtim;
}

qint64 InputFile::read(char* buffer, qint64 max) {
    ssize_t got;
    do
        got = ::read(fd_.get(), buffer, max);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        throw FileError(StreamReadError);
    consumed_ += got;
    // A growing file fails at once instead of filling the memory.
    if (consumed_ > size_)
        throw FileError(StreamReadError);
    if (got == 0)
        checkUnchanged();
    return got;
}

void InputFile::rewind() {
    if (::lseek(fd_.get(), 0, SEEK_SET) != 0)
        throw FileError(StreamReadError);
    consumed_ = 0;
}

void InputFile::checkUnchanged() const {
    struct stat status;
    if (consumed_ != size_ || ::fstat(fd_.get(), &status) != 0 || status.st_size != size_ ||
        !SameTime(status.st_mtim, modified_))
        throw FileError(StreamReadError);
}

bool IsExistingSpecialFile(const QString& path) {
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISREG(status.st_mode);
}

SpecialFileOutput::SpecialFileOutput(const QString& path)
    : fd_(OpenPath(path, O_WRONLY | O_NOCTTY | O_CLOEXEC)) {
    if (!fd_)
        throw CreateFailure(FullPath(path), errno);
}

void SpecialFileOutput::write(const char* data, qint64 count) {
    if (const int error = WriteAll(fd_.get(), data, count))
        throw WriteFailure(error);
}

void SpecialFileOutput::close() {
    if (::close(fd_.release()) != 0)
        throw WriteFailure(errno);
}

namespace {

// How often a wait for a lock looks whether it is to stop.
constexpr std::chrono::milliseconds LockPoll(20);

FileError GaveUpWaiting() {
    return FileError(StreamWriteError + QStringLiteral(". Gave up waiting for its lock"));
}

// Holds an exclusive flock on a file for its life. The wait polls: nothing else can end a flock
// that blocks while the termination signals are held.
class ExclusiveLock {
public:
    ExclusiveLock(int fd, const std::stop_token& stop) : fd_(fd) {
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                throw WriteFailure(errno);
            if (stop.stop_requested())
                throw GaveUpWaiting();
            std::this_thread::sleep_for(LockPoll);
        }
    }
    ~ExclusiveLock() { ::flock(fd_, LOCK_UN); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    const int fd_;
};

QString DirectoryOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

} // namespace

AppendFile::AppendFile(const QString& path) {
    const QString full = FullPath(path);
    // Non-blocking, so that a FIFO does not hang the open. Readable for the file's last byte.
    constexpr int Flags = O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
    fd_.reset(OpenPath(full, Flags | O_CREAT | O_EXCL, 0666));
    const bool created = bool(fd_);
    if (!created && errno == EEXIST)
        fd_.reset(OpenPath(full, Flags));
    if (!fd_)
        throw OpenFailureNoFollow(full, errno);
    struct stat status;
    if (::fstat(fd_.get(), &status) != 0)
        throw OpenFailure(full, errno);
    if (!S_ISREG(status.st_mode))
        throw OpenFailure(full, ENOTSUP);
    if (created) {
        const FileDescriptor directory(OpenPath(DirectoryOf(full), O_RDONLY | O_CLOEXEC));
        if (!directory || (::fsync(directory.get()) != 0 && errno != EINVAL))
            throw OpenFailure(full, errno);
    }
}

void AppendFile::append(const QByteArray& line, const std::stop_token& stop) {
    std::unique_lock thread(threads_, std::defer_lock);
    while (!thread.try_lock_for(LockPoll))
        if (stop.stop_requested())
            throw GaveUpWaiting();
    const ExclusiveLock lock(fd_.get(), stop);
    struct stat before;
    if (::fstat(fd_.get(), &before) != 0)
        throw WriteFailure(errno);
    const QByteArray bytes = separated(line, before.st_size);
    int error = WriteAll(fd_.get(), bytes.constData(), bytes.size());
    if (error == 0 && ::fsync(fd_.get()) != 0)
        error = errno;
    if (error != 0) {
        // The next line would otherwise be glued to the part written.
        [[maybe_unused]] const int ignored = ::ftruncate(fd_.get(), before.st_size);
        throw WriteFailure(error);
    }
}

// Under the lock: the line, after a line break when the file's last byte is not one.
QByteArray AppendFile::separated(const QByteArray& line, qint64 size) const {
    char last = '\n';
    if (size > 0) {
        const ssize_t got = ::pread(fd_.get(), &last, 1, size - 1);
        if (got != 1)
            throw WriteFailure(got < 0 ? errno : EIO);
    }
    return last == '\n' ? line : '\n' + line;
}

namespace {

constexpr qint64 LineChunk = 65536;

FileError ReadFailure(int error) {
    return FileError(StreamReadError + QStringLiteral(". ") + SystemText(error));
}

} // namespace

LineReader::LineReader(const QString& path, Direction direction)
    : path_(FullPath(path)),
      fd_(OpenPath(path_, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW)),
      direction_(direction) {
    if (!fd_ && errno == ENOENT) {
        ended_ = true;
        return;
    }
    if (!fd_)
        throw OpenFailureNoFollow(path_, errno);
    const struct stat status = RegularFileStatus(fd_.get(), path_);
    position_ = pendingAt_ = direction == Direction::Forward ? 0 : EndOfLastLine(fd_.get(), status);
}

std::optional<LineReader::Line> LineReader::next() {
    while (!ended_) {
        const qsizetype lineBreak =
            direction_ == Direction::Forward ? pending_.indexOf('\n') : pending_.lastIndexOf('\n');
        if (lineBreak >= 0 && direction_ == Direction::Forward) {
            Line line{pending_.left(lineBreak), pendingAt_};
            pending_.remove(0, lineBreak + 1);
            pendingAt_ += lineBreak + 1;
            return line;
        }
        if (lineBreak >= 0) {
            Line line{pending_.mid(lineBreak + 1), pendingAt_ + lineBreak + 1};
            pending_.truncate(lineBreak);
            return line;
        }
        if (!fill()) {
            // The text after the last line break, or before the first, is a line too.
            ended_ = true;
            if (!pending_.isEmpty())
                return Line{std::exchange(pending_, {}), pendingAt_};
        }
    }
    return std::nullopt;
}

bool LineReader::fill() {
    const bool forward = direction_ == Direction::Forward;
    const qint64 count = forward ? LineChunk : std::min(LineChunk, position_);
    QByteArray chunk(count, Qt::Uninitialized);
    const qint64 at = forward ? position_ : position_ - count;
    ssize_t got;
    do
        got = count == 0 ? 0 : ::pread(fd_.get(), chunk.data(), count, at);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        throw ReadFailure(errno);
    // Backward, the chunk must meet the text read before it.
    if (!forward && got != count)
        throw ReadFailure(EIO);
    if (got == 0)
        return false;
    chunk.truncate(got);
    if (forward) {
        pending_ += chunk;
        position_ += got;
    } else {
        pending_.prepend(chunk);
        position_ = pendingAt_ = at;
    }
    return true;
}

void DirectoryEntry::hold(QByteArray name) {
    remove();
    name_ = std::move(name);
}

void DirectoryEntry::remove() {
    if (!name_.isEmpty())
        ::unlinkat(directory_.get(), name_.constData(), kind_ == Kind::Folder ? AT_REMOVEDIR : 0);
    name_.clear();
}

BackupFile::BackupFile(const QString& reportId, const QString& stamp, const QString& directory)
    : directory_(directory), reportId_(reportId), stamp_(stamp),
      path_(JoinPath(directory, BackupFileName(reportId, stamp))),
      directoryFd_(OpenPath(directory.isEmpty() ? QStringLiteral(".") : directory,
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      partial_(directoryFd_), published_(directoryFd_) {
    if (!directoryFd_)
        throw CreateFailure(path_, errno);
    const QByteArray hidden = '.' + QFile::encodeName(BackupFileName(reportId, stamp)) + '.';
    for (int attempt = 1;; ++attempt) {
        const QByteArray name =
            hidden + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        fd_.reset(::openat(directoryFd_.get(), name.constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (fd_) {
            partial_.hold(name);
            return;
        }
        if (errno != EEXIST || attempt == HiddenNameAttempts)
            throw CreateFailure(path_, errno);
    }
}

BackupFile::~BackupFile() = default;

// The disk starts on what is written at once, while the rest is still on its way from the
// server, so that the flush before the commit waits for little. Only a hint: the flush checks.
void BackupFile::write(const char* data, qint64 count) {
    if (const int error = WriteAll(fd_.get(), data, count))
        throw BackupWriteFailure(error);
    ::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void BackupFile::finish() {
    if (::fsync(fd_.get()) != 0 || ::close(fd_.release()) != 0)
        throw BackupWriteFailure(errno);
    publish();
    syncDirectory();
    published_.release();
}

void BackupFile::publish() {
    for (int attempt = 1;; ++attempt) {
        const QString name = BackupFileName(reportId_, stamp_, attempt);
        path_ = JoinPath(directory_, name);
        if (linkOrRename(QFile::encodeName(name)))
            return;
        if (errno != EEXIST || attempt == MaxAttempt)
            throw CreateFailure(path_, errno);
    }
}

// Neither replaces an existing name. File systems without hard links (FAT) can still rename
// without replacing.
bool BackupFile::linkOrRename(const QByteArray& name) {
    const int directory = directoryFd_.get();
    const char* partial = partial_.name().constData();
    if (::linkat(directory, partial, directory, name.constData(), 0) == 0) {
        published_.hold(name);
        partial_.remove();
        return true;
    }
    if ((errno == EPERM || errno == EOPNOTSUPP) &&
        ::renameat2(directory, partial, directory, name.constData(), RENAME_NOREPLACE) == 0) {
        published_.hold(name);
        partial_.release();
        return true;
    }
    return false;
}

// Makes the new name durable. Some file systems cannot sync a directory (EINVAL); there the
// file's own sync is all there is.
void BackupFile::syncDirectory() const {
    if (::fsync(directoryFd_.get()) != 0 && errno != EINVAL)
        throw BackupWriteFailure(errno);
}

void UseUtf8CharacterType() {
    if (std::strcmp(::nl_langinfo(CODESET), "UTF-8") != 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
}

void ReportFileSizeLimitAsWriteError() {
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace platform
