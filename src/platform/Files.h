#pragma once

#include "Process.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>

namespace platform {

// The system's text for an error number, without trailing blanks and full stops.
QString SystemText(int error);

// A failure of a file: "Cannot open file ...", "Cannot create file ...", "Stream read error" or
// "Stream write error". what() is the text the user sees, in UTF-8; where that text leaves out the
// system's reason (the window's backup failures), reason() has it.
class FileError : public std::runtime_error {
public:
    explicit FileError(const QString& text, QString reason = {});
    const QString& reason() const { return reason_; }

private:
    QString reason_;
};

// Owns one file descriptor and closes it, unchecked, when destroyed.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes the one held, unchecked, and takes this one.
    void reset(int fd);
    // Hands the descriptor over, e.g. to a checked close.
    int release();

private:
    int fd_;
};

// A chosen template file, opened for reading and kept from writers that use flock for the
// object's whole life: it holds a shared lock, so two readers of one file (two rollouts of the
// same template) go on side by side. Opening fails with "Cannot open file \"<full path>\". <system
// text>":
// - anything open(2) or flock(2) reports, e.g. "No such file or directory", or "Resource
//   temporarily unavailable" when another process holds an exclusive lock;
// - "Is a directory" for a directory, "Operation not supported" for any other file that is not a
//   regular file (FIFO, device, socket), without waiting for a writer or reading anything;
// - "File too large" for 2 GiB or more, which content cannot hold.
// - "It is a symbolic link, which is not followed" for a link where links are refused.
// The lock is advisory: it keeps out other users of flock, not plain writers; those are caught
// by the check at the end of the read.
class InputFile {
public:
    static constexpr qint64 MaxSize = Q_INT64_C(0x7FFFFFFF);

    enum class Links { Follow, Refuse };

    explicit InputFile(const QString& path, Links links = Links::Follow);

    // Copies up to max bytes; "Stream read error" on failure. Returns 0 only at the end of a
    // file read whole and unchanged: as many bytes as it had when opened, and the same size and
    // modification time as then. Otherwise the end raises "Stream read error" as well.
    qint64 read(char* buffer, qint64 max);
    // The size the file had when opened.
    qint64 size() const { return size_; }
    // Reads again from the first byte; the lock stays.
    void rewind();

private:
    void checkUnchanged() const;

    QString path_;
    FileDescriptor fd_;
    qint64 size_ = 0;
    timespec modified_{};
    qint64 consumed_ = 0;
};

// Whether the path names an existing file that is not a regular one (a device, a FIFO, a pipe
// reached through /dev/stdout): such a file can be written only in place, never replaced by a
// rename.
bool IsExistingSpecialFile(const QString& path);

// An existing file opened for writing in place, without creating or truncating it: a device or
// a pipe. Opening fails with "Cannot create file \"<full path>\". <system text>", a write or the
// close with "Stream write error. <system text>", e.g. "No space left on device" on /dev/full.
class SpecialFileOutput {
public:
    explicit SpecialFileOutput(const QString& path);

    void write(const char* data, qint64 count);
    void close();

private:
    FileDescriptor fd_;
};

// A file that whole lines are appended to by several threads and processes: each line goes in
// one write under an exclusive flock with O_APPEND and is on the disk before append returns, so
// lines never interleave and one told written survives a crash. A line the system takes only in
// part is cut off again, and a line always starts a line of its own, whatever the file ends with
// (an editor's save, a crash mid-write). Created when missing (the directory then flushed too);
// a symbolic link is never followed. Failures: "Cannot open file \"<full path>\". <system text>",
// "Stream write error. <system text>".
class AppendFile {
public:
    explicit AppendFile(const QString& path);

    // The line, ending in a line break. Waits for the other writers, the process's threads and
    // other processes alike, until the stop is requested: then "Stream write error. Gave up
    // waiting for its lock".
    void append(const QByteArray& line, const std::stop_token& stop = {});

private:
    QByteArray separated(const QByteArray& line, qint64 size) const;

    FileDescriptor fd_;
    std::timed_mutex threads_; // flock does not keep apart the threads sharing the descriptor
};

// The lines of a regular file, read a chunk at a time so that memory holds no more than the
// longest line: from the first on, or from the last back. Takes no lock, as a file that others
// append to is read while they do (what they add after the open may or may not be read), and
// never follows a symbolic link. Failures: "Cannot open file \"<full path>\". <system text>" as
// for InputFile, "Stream read error. <system text>".
class LineReader {
public:
    enum class Direction { Forward, Backward };
    struct Line {
        QByteArray text; // without its line break
        qint64 offset;   // of its first byte in the file
    };

    // A file that does not exist has no lines.
    LineReader(const QString& path, Direction direction);

    // The next line in the direction read; nullopt past the last.
    std::optional<Line> next();

private:
    // Another chunk in the direction read into pending_; false at the end of the file.
    bool fill();

    const QString path_; // full
    FileDescriptor fd_;
    const Direction direction_;
    qint64 position_ = 0;  // of the next chunk: its start forward, its end backward
    qint64 pendingAt_ = 0; // pending_'s offset in the file
    QByteArray pending_;
    bool ended_ = false;
};

// A name this program made in a directory, removed again when this is destroyed unless released
// first. Removal is unchecked: nothing better can be done about a name the system will not remove,
// such as a folder that is no longer empty.
class DirectoryEntry {
public:
    enum class Kind { File, Folder };

    explicit DirectoryEntry(const FileDescriptor& directory, Kind kind = Kind::File)
        : directory_(directory), kind_(kind) {}
    ~DirectoryEntry() { remove(); }
    DirectoryEntry(const DirectoryEntry&) = delete;
    DirectoryEntry& operator=(const DirectoryEntry&) = delete;

    const QByteArray& name() const { return name_; }
    // Removes the one held, and holds this one.
    void hold(QByteArray name);
    void remove();
    // Leaves the entry where it is, or forgets one that is gone already.
    void release() { name_.clear(); }

private:
    const FileDescriptor& directory_;
    const Kind kind_;
    QByteArray name_;
};

// A backup file in a directory. It is written under a temporary hidden name there
// (".<backup name>.<random>") and takes its backup name only once complete and on the disk, so a
// backup name never holds a partial file. That name never replaces or follows anything already
// there: a taken name is retried with "_2", "_3", ... up to MaxAttempt, which no folder reaches.
// Failures: "Cannot create file \"<backup path>\". <system text>" when the file cannot be created
// (the path last tried), "Stream write error" with the system's text as reason() when writing or
// flushing fails.
// Destroyed before finish() completes, it removes whatever it wrote.
class BackupFile {
public:
    // The largest attempt a name carries: nine digits.
    static constexpr int MaxAttempt = 999999999;

    BackupFile(const QString& reportId, const QString& stamp,
               const QString& directory = WorkingDirectory());
    ~BackupFile();
    BackupFile(const BackupFile&) = delete;
    BackupFile& operator=(const BackupFile&) = delete;

    // The backup's full path: after finish() the name it got, before that the first one it tries.
    const QString& path() const { return path_; }

    void write(const char* data, qint64 count);
    // Flushes the content to the disk, gives it its backup name and flushes the directory; only
    // then is the backup safe.
    void finish();

private:
    void publish();
    bool linkOrRename(const QByteArray& name);
    void syncDirectory() const;

    QString directory_;
    QString reportId_;
    QString stamp_;
    QString path_;
    FileDescriptor directoryFd_;
    DirectoryEntry partial_;
    DirectoryEntry published_;
    FileDescriptor fd_;
};

// Qt takes file names as UTF-8 whatever the locale; the Firebird client library converts a
// database's file name through the C library's character type, which under LANG=C knows only
// ASCII ("Cannot transliterate character"). Where that type is not UTF-8, this makes it so. Call
// once at start-up, after the application object (which sets the locale from the environment).
void UseUtf8CharacterType();

// Without this, a write past the process's file-size limit (ulimit -f) kills the program with
// SIGXFSZ instead of failing with "Stream write error". Call once at start-up.
void ReportFileSizeLimitAsWriteError();

inline constexpr qint64 CopyBufferSize = 1048576;

// Copies the whole source into the sink through one buffer: each write but the last carries a
// full buffer; an empty source writes nothing. Source: qint64 read(char*, qint64) returning 0 at
// the end. Sink: void write(const char*, qint64).
namespace detail {
// Reads until the buffer is full or the source ends, so short reads do not shrink the chunks.
template <class Source> qint64 FillBuffer(Source& source, char* buffer) {
    qint64 filled = 0;
    while (filled < CopyBufferSize) {
        const qint64 got = source.read(buffer + filled, CopyBufferSize - filled);
        if (got == 0)
            break;
        filled += got;
    }
    return filled;
}
} // namespace detail

template <class Source, class Sink> void CopyAll(Source& source, Sink& sink) {
    const auto buffer = std::make_unique_for_overwrite<char[]>(CopyBufferSize);
    for (qint64 filled = CopyBufferSize; filled == CopyBufferSize;) {
        filled = detail::FillBuffer(source, buffer.get());
        if (filled > 0)
            sink.write(buffer.get(), filled);
    }
}

} // namespace platform
