#pragma once

#include "platform/BackupName.h"
#include "store/Digest.h"

#include <QDateTime>
#include <QString>
#include <atomic>
#include <functional>
#include <optional>
#include <vector>

namespace platform {
class InputFile;
}

namespace store {
class LayoutStore;
}

namespace core {

// What a replacement is busy with. Byte counts go with the transfers.
enum class Phase {
    ReadingStored,     // the stored layout, from the server
    WritingBackup,     // the stored layout, to the backup file
    ReadingTemplate,   // the chosen file, into the row
    SendingNew,        // the new layout, to the server
    WaitingForDatabase // the update and the commit
};

// What the user is told of a step, e.g. "Sending the new layout".
QString PhaseText(Phase phase);

struct Progress {
    Phase phase;
    qint64 done = 0;
    qint64 total = 0;
};

struct Outcome;

struct ReplaceOptions {
    QString backupDirectory;           // the working directory at the time of the backup when empty
    bool dryRun = false;               // back up, then roll back: nothing stored changes
    bool verifyStored = false;         // before committing, check what the server stored
    bool skipIdenticalContent = false; // nothing at all when the stored bytes equal the file's
    bool digests = false;              // the SHA-256 of both versions in the outcome
    bool fullVerify = false; // verifying, read it back whole even where its length and hash tell
    // Only where the stored bytes are these: else Changed, told by the read the backup takes.
    std::optional<store::ContentDigest> expectedStored = std::nullopt;
    // The bytes the file is known to hold, e.g. a backup's as recorded: compared with the stored
    // ones in its place, so the file is read once, and any other bytes read fail the replacement
    // before its commit. Such a file is never reached through a symbolic link.
    std::optional<store::ContentDigest> expectedFile = std::nullopt;
    // Runs once the new bytes are posted and verified, just before the commit, with the digests
    // and the backup's path; an exception from it fails the replacement, rolled back.
    std::function<void(const Outcome&)> beforeCommit = nullptr;
};

struct Outcome {
    enum class Result {
        Replaced,  // stored and committed
        Unchanged, // the stored bytes already equal the file's
        DryRun,    // backed up and rolled back
        Failed,    // the post or commit failed, or the user cancelled: rolled back, row restored
        Error,     // stopped before anything stored changed; text says why
        InDoubt,   // the connection went during the commit and no check could tell its fate
        Changed    // the stored bytes are not the expected ones: rolled back, no backup kept
    };
    Result result = Result::Error;
    QString backupPath;          // empty when no backup was written
    store::ContentDigest stored; // the layout stored before, as backed up (SHA-256 if asked)
    store::ContentDigest
        replacement; // the chosen file's bytes (SHA-256 if asked, verified or compared)
    // Their length and the server's HASH(), where they were read for sending and digests were
    // asked for or the stored ones verified by hash.
    std::optional<store::Fingerprint> replacementFingerprint;
    QString text;         // Failed: the cause; Error, InDoubt: the error's text
    QString systemReason; // Error: a file's failure's reason, where text leaves it out
};

// Replaces layouts of one store: the chosen file is held against writers that
// use flock, the stored layout goes to a new backup file, the file's bytes replace it and are
// posted and committed, or rolled back with the row restored. The backup's stamp is the clock's.
class Replacer {
public:
    explicit Replacer(store::LayoutStore& store,
                      std::function<QDateTime()> clock = platform::LocalNow);

    // Told every step and, during transfers, the bytes done; on the thread that runs Replace.
    std::function<void(const Progress&)> OnProgress;

    Outcome Replace(const QString& reportId, const QString& templatePath,
                    const ReplaceOptions& options = {});

    // From any thread: the running replacement stops, also out of a wait for the server, and fails
    // as a refused update does, with nothing stored changed.
    void Cancel();
    // From any thread, when the server has not answered a Cancel: drops the connection, and the
    // replacement fails as on a lost connection. Nothing stored changes, unless the commit had
    // been sent: a new connection then tells whether it went through.
    void Abort();

private:
    void run(Outcome& outcome, const QString& reportId, const QString& templatePath,
             const ReplaceOptions& options);
    std::optional<Outcome::Result> backUp(Outcome& outcome, const QString& reportId,
                                          const ReplaceOptions& options, platform::InputFile& file);
    void postAndCommit(Outcome& outcome, const QString& reportId, platform::InputFile& file,
                       const QString& templatePath, const ReplaceOptions& options,
                       qint64 serverHash);
    bool settleLostCommit(Outcome& outcome, const QString& reportId, platform::InputFile& file,
                          const QString& cause);
    void verifyStored(const store::ContentDigest& expected, qint64 serverHash, bool full);
    static void checkSent(const store::ContentDigest& sent, const QString& templatePath,
                          const ReplaceOptions& options);
    void report(Phase phase, qint64 done = 0, qint64 total = 0);
    void reportTransfer(qint64 done, qint64 total);

    store::LayoutStore& store_;
    const std::function<QDateTime()> clock_;
    Phase phase_ = Phase::ReadingStored;
    std::atomic<bool> cancelRequested_{false};
};

// The identifier, size and SHA-256 of every stored layout, in server order, each read from the
// server as it is summed up and kept nowhere.
struct StoredLayout {
    QString reportId;
    store::ContentDigest digest;
};
std::vector<StoredLayout> ListLayouts(store::LayoutStore& store);

// Hands the stored layout's bytes to the sink; store::NotFound when no row has the identifier,
// store::NotUnique when several have it.
store::ContentDigest ExportLayout(store::LayoutStore& store, const QString& reportId,
                                  const std::function<void(const char* data, qint64 count)>& sink);

} // namespace core
