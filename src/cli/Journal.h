#pragma once

#include "Json.h"
#include "platform/Files.h"
#include "store/Digest.h"

#include <QCommandLineOption>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>

namespace cli {

// --backup-dir: the folder of the backups and the journal, of every command that writes or reads
// them.
extern const QCommandLineOption BackupDirOption;

// One line of the journal, written only by ToJson and read only by FromJson. A field missing from
// a line read, as an editor may leave it, is read as empty.
struct JournalEntry {
    Stamp stamp = {};
    QString event = {};                              // "prepare" before the commit, "outcome" after
    QString id = {};                                 // the layout's
    std::optional<QString> engine = {};              // the server's, once reached
    std::optional<bool> compressed = {};             // the traffic, as the server tells it
    std::optional<store::ContentDigest> before = {}; // the layout stored before, as backed up
    std::optional<store::ContentDigest> after = {};  // the bytes stored, or to be stored
    std::optional<qint64> serverHashAfter = {};      // their HASH(), where it was computed
    QString file = {};                               // full paths; empty when none
    QString backup = {};
    QString outcome = {}; // of an outcome line: "replaced", "unchanged", "failed", ...
    QString error = {};
    QString undoes = {}; // of an undo's line: the run it takes back
    // Of a run's summary line, written after its last database:
    std::optional<qsizetype> canary = {}; // its --canary
    std::optional<int> maxFailures = {};  // its --max-failures
    QStringList notStarted = {};          // the databases it left unstarted

    // The length and HASH() of the bytes stored, as the database tells them, where recorded.
    std::optional<store::Fingerprint> afterFingerprint() const;
    QJsonObject ToJson() const;
    static JournalEntry FromJson(const QJsonObject& line);
};

// What replace, restore and undo are about to store on each database and what came of it, one
// compact JSON object a line in korvex-journal.jsonl of the backup folder, each line on the disk
// before the tool goes on. Shared by the threads of a run and by the runs of several processes.
// A journal that is a symbolic link is refused.
class Journal {
public:
    static constexpr const char* FileName = "korvex-journal.jsonl";
    using Direction = platform::LineReader::Direction;

    // The journal of the backup folder, the working directory when empty; opened with the first
    // line.
    explicit Journal(const QString& backupDirectory);

    const QString& path() const { return path_; }

    // Opens it now, created when missing, for a run to find out before it changes anything.
    // Throws std::runtime_error as Append does.
    void Open();

    // From any thread; waits for other writers until the stop is requested. Throws
    // std::runtime_error "The journal <path> cannot be written. <why>".
    void Append(const JournalEntry& entry, const std::stop_token& stop);

    // Hands its lines to the visitor as they are read, in the direction asked, while it returns
    // true; nothing when there is no journal. Memory does not grow with the journal. A line that
    // is not a JSON object, as a crash in the middle of a write or an editor may leave, is passed
    // over and told once on standard error. Throws platform::FileError when it cannot be read.
    void Read(Direction direction, const std::function<bool(const JournalEntry&)>& visit) const;

private:
    platform::AppendFile& opened();
    [[noreturn]] void cannotWrite(const platform::FileError& error) const;
    void tellUnreadable(qint64 offset) const;

    const QString path_;
    std::mutex mutex_;
    std::optional<platform::AppendFile> file_;
    mutable std::set<qint64> told_; // offsets of the unreadable lines told
};

} // namespace cli
