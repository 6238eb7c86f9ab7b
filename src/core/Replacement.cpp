#include "Replacement.h"

#include "platform/Files.h"
#include "store/LayoutStore.h"
#include "store/ServerHash.h"

#include <QFileInfo>
#include <algorithm>
#include <cstring>

namespace core {
namespace {

// The user's cancel, seen between steps. A call that the database stopped raises the store's
// Cancelled instead, an error like any other.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("The replacement was cancelled") {}
};

// Routes the store's transfers to a handler for as long as it lives.
class TransferHook {
public:
    TransferHook(store::LayoutStore& store, std::function<void(qint64, qint64)> handler)
        : store_(store) {
        store.OnTransfer = std::move(handler);
    }
    ~TransferHook() { store_.OnTransfer = nullptr; }
    TransferHook(const TransferHook&) = delete;
    TransferHook& operator=(const TransferHook&) = delete;

private:
    store::LayoutStore& store_;
};

// What a source read through sums up besides its size.
struct Sums {
    bool sha256 = false;
    bool serverHash = false; // the server's HASH(), a byte at a time: only where it is compared
};

// A source read through: what passes is summed up and reported as progress.
template <class Bytes> class Observed final : public store::Source {
public:
    Observed(Bytes& source, qint64 total, Sums sums, std::function<void(qint64, qint64)> progress)
        : source_(source), total_(total), progress_(std::move(progress)), digest_(sums.sha256),
          serverHashing_(sums.serverHash) {}
    qint64 size() const override { return total_; }
    qint64 read(char* buffer, qint64 max) override {
        const qint64 got = source_.read(buffer, max);
        digest_.write(buffer, got);
        if (serverHashing_)
            serverHash_.write(buffer, got);
        done_ += got;
        progress_(done_, total_);
        return got;
    }
    store::ContentDigest digest() const { return digest_.result(); }
    qint64 serverHash() const { return serverHash_.result(); }
    std::optional<store::Fingerprint> fingerprint() const {
        return serverHashing_ ? std::optional(store::Fingerprint{done_, serverHash_.result()})
                              : std::nullopt;
    }

private:
    Bytes& source_;
    const qint64 total_;
    std::function<void(qint64, qint64)> progress_;
    store::DigestSink digest_;
    const bool serverHashing_;
    store::ServerHash serverHash_;
    qint64 done_ = 0;
};

// The chosen file held against the stored bytes as they pass on their way to the backup, read
// only as far as the two agree: where they differ, the file is read once more only to be sent.
class SameAsFile {
public:
    explicit SameAsFile(platform::InputFile& file)
        : file_(file), buffer_(std::make_unique_for_overwrite<char[]>(platform::CopyBufferSize)) {
        file_.rewind();
    }
    void write(const char* data, qint64 count) {
        while (same_ && count > 0) {
            const qint64 got = file_.read(buffer_.get(), std::min(count, platform::CopyBufferSize));
            same_ = got > 0 && std::memcmp(buffer_.get(), data, static_cast<size_t>(got)) == 0;
            data += got;
            count -= got;
        }
    }
    // Every byte alike, and the file read to its end unchanged.
    bool same() { return same_ && file_.read(buffer_.get(), 1) == 0; }

private:
    platform::InputFile& file_;
    const std::unique_ptr<char[]> buffer_;
    bool same_ = true;
};

// The stored bytes into the backup and, where it is made, into the comparison with the file.
struct BackupCopy {
    platform::BackupFile& backup;
    SameAsFile* comparison;
    void write(const char* data, qint64 count) {
        backup.write(data, count);
        if (comparison)
            comparison->write(data, count);
    }
};

// One cleanup step of a failed update, run whatever the others did.
void Attempt(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception&) {
        // The failure is reported all the same.
    }
}

// The transaction's snapshot keeps rejecting an update of a row someone else changed after it
// began; only a new transaction sees that change.
const QString ConflictAdvice =
    QStringLiteral("\nAnother user changed this layout after the tool started. Restart "
                   "the tool: it then shows that change and the replacement can go "
                   "through.");

// The digest with its SHA-256, summed up from the source now when that was not done on the way.
store::ContentDigest Hashed(const store::ContentDigest& digest, platform::InputFile& source) {
    if (!digest.sha256.isEmpty())
        return digest;
    source.rewind();
    store::DigestSink hashed;
    platform::CopyAll(source, hashed);
    return hashed.result();
}

bool Holds(const store::ContentDigest& stored, const store::ContentDigest& known,
           platform::InputFile& source) {
    return stored.size == known.size && stored == Hashed(known, source);
}

QString InDoubtText(const QString& reportId, const QString& cause, const QString& checkFailure) {
    return QStringLiteral("The connection to the database was lost while the commit was on its "
                          "way (%1), and a new connection could not tell whether it went through "
                          "(%2). The layout %3 may or may not be stored: check it before trying "
                          "again.")
        .arg(cause, checkFailure, reportId);
}

} // namespace

QString PhaseText(Phase phase) {
    switch (phase) {
    case Phase::ReadingStored:
        return QStringLiteral("Reading the stored layout");
    case Phase::WritingBackup:
        return QStringLiteral("Writing the backup");
    case Phase::ReadingTemplate:
        return QStringLiteral("Reading the chosen file");
    case Phase::SendingNew:
        return QStringLiteral("Sending the new layout");
    case Phase::WaitingForDatabase:
        return QStringLiteral("Waiting for the database");
    }
    return {};
}

Replacer::Replacer(store::LayoutStore& store, std::function<QDateTime()> clock)
    : store_(store), clock_(std::move(clock)) {}

void Replacer::Cancel() {
    cancelRequested_ = true;
    store_.CancelCall(store::LayoutStore::Cancel::Raise);
}

void Replacer::Abort() {
    cancelRequested_ = true;
    store_.CancelCall(store::LayoutStore::Cancel::Abort);
}

void Replacer::report(Phase phase, qint64 done, qint64 total) {
    phase_ = phase;
    if (cancelRequested_)
        throw Cancelled();
    if (OnProgress)
        OnProgress(Progress{phase, done, total});
}

// Once the last segment of the new layout is out, what remains is the server's update and commit.
void Replacer::reportTransfer(qint64 done, qint64 total) {
    report(phase_ == Phase::SendingNew && done == total ? Phase::WaitingForDatabase : phase_, done,
           total);
}

Outcome Replacer::Replace(const QString& reportId, const QString& templatePath,
                          const ReplaceOptions& options) {
    Outcome outcome;
    const TransferHook hook(store_,
                            [this](qint64 done, qint64 total) { reportTransfer(done, total); });
    try {
        run(outcome, reportId, templatePath, options);
    } catch (const Cancelled& cancelled) {
        outcome.result = Outcome::Result::Failed;
        outcome.text = QString::fromUtf8(cancelled.what());
    } catch (const platform::FileError& error) {
        outcome.result = Outcome::Result::Error;
        outcome.text = QString::fromUtf8(error.what());
        outcome.systemReason = error.reason();
    } catch (const std::exception& error) {
        outcome.result = Outcome::Result::Error;
        outcome.text = QString::fromUtf8(error.what());
    }
    // Cleared only now: a cancel that came before the work began still counts.
    cancelRequested_ = false;
    return outcome;
}

void Replacer::run(Outcome& outcome, const QString& reportId, const QString& templatePath,
                   const ReplaceOptions& options) {
    platform::InputFile file(templatePath, options.expectedFile
                                               ? platform::InputFile::Links::Refuse
                                               : platform::InputFile::Links::Follow);
    report(Phase::ReadingStored);
    store_.Locate(reportId);
    if (const std::optional<Outcome::Result> ended = backUp(outcome, reportId, options, file)) {
        if (*ended == Outcome::Result::Changed)
            store_.RollBack();
        outcome.result = *ended;
        return;
    }

    file.rewind();
    Observed chosen(
        file, file.size(),
        {options.digests || options.verifyStored || options.expectedFile.has_value(),
         options.digests || (options.verifyStored && !options.fullVerify)},
        [this](qint64 done, qint64 total) { report(Phase::ReadingTemplate, done, total); });
    if (options.dryRun) {
        store::DigestSink ignored;
        platform::CopyAll(chosen, ignored);
        outcome.replacement = chosen.digest();
        outcome.replacementFingerprint = chosen.fingerprint();
        store_.RollBack();
        // A dry run tells what the real one would come to, refusal included.
        checkSent(outcome.replacement, templatePath, options);
        outcome.result = Outcome::Result::DryRun;
        return;
    }

    store_.Write(chosen);
    outcome.replacement = chosen.digest();
    outcome.replacementFingerprint = chosen.fingerprint();
    postAndCommit(outcome, reportId, file, templatePath, options, chosen.serverHash());
}

// The stored layout, read once, to a new backup file. Where identical content is skipped and the
// sizes agree, the stored bytes are held against the file's as they pass, or against the digest
// the file is known by: equal ones leave no backup and end with Unchanged. Bytes other than the
// expected ones end with Changed.
std::optional<Outcome::Result> Replacer::backUp(Outcome& outcome, const QString& reportId,
                                                const ReplaceOptions& options,
                                                platform::InputFile& file) {
    const std::unique_ptr<store::Source> stored = store_.ReadStored();
    const bool comparing =
        options.skipIdenticalContent &&
        stored->size() == (options.expectedFile ? options.expectedFile->size : file.size());
    report(Phase::WritingBackup, 0, stored->size());
    Observed source(
        *stored, stored->size(), {options.digests || comparing || options.expectedStored},
        [this](qint64 done, qint64 total) { report(Phase::WritingBackup, done, total); });
    const QString directory =
        options.backupDirectory.isEmpty() ? platform::WorkingDirectory() : options.backupDirectory;
    platform::BackupFile backup(reportId, platform::TimeStamp(clock_()), directory);
    std::optional<SameAsFile> comparison;
    if (comparing && !options.expectedFile)
        comparison.emplace(file);
    BackupCopy copy{backup, comparison ? &*comparison : nullptr};
    platform::CopyAll(source, copy);
    outcome.stored = source.digest();
    // Holding the bytes to be stored already is what an expected state would have come to.
    if (comparing && (comparison ? comparison->same() : outcome.stored == *options.expectedFile)) {
        outcome.replacement = outcome.stored;
        return Outcome::Result::Unchanged;
    }
    if (options.expectedStored && outcome.stored != *options.expectedStored)
        return Outcome::Result::Changed;
    backup.finish();
    outcome.backupPath = backup.path();
    return std::nullopt;
}

void Replacer::postAndCommit(Outcome& outcome, const QString& reportId, platform::InputFile& file,
                             const QString& templatePath, const ReplaceOptions& options,
                             qint64 serverHash) {
    try {
        checkSent(outcome.replacement, templatePath, options);
        report(outcome.replacement.size > 0 ? Phase::SendingNew : Phase::WaitingForDatabase, 0,
               outcome.replacement.size);
        store_.Post();
        if (options.verifyStored)
            verifyStored(outcome.replacement, serverHash, options.fullVerify);
        report(Phase::WaitingForDatabase);
        if (options.beforeCommit)
            options.beforeCommit(outcome);
        store_.Commit();
        outcome.result = Outcome::Result::Replaced;
        return;
    } catch (const store::CommitInDoubt& error) {
        if (settleLostCommit(outcome, reportId, file, QString::fromUtf8(error.what())))
            return;
    } catch (const store::UpdateConflict& error) {
        outcome.text = QString::fromUtf8(error.what()) + ConflictAdvice;
    } catch (const std::exception& error) {
        outcome.text = QString::fromUtf8(error.what());
    }
    Attempt([&] { store_.RollBack(); });
    outcome.result = Outcome::Result::Failed;
}

// The commit may have reached the server before its connection went. True when that settles the
// outcome (stored, or not knowable); false when the old bytes are still there, a plain failure.
bool Replacer::settleLostCommit(Outcome& outcome, const QString& reportId,
                                platform::InputFile& file, const QString& cause) {
    try {
        const store::ContentDigest now = store_.StoredAfterLostCommit(reportId);
        if (Holds(now, outcome.replacement, file)) {
            outcome.result = Outcome::Result::Replaced;
            return true;
        }
        platform::InputFile backup(outcome.backupPath);
        if (Holds(now, outcome.stored, backup)) {
            outcome.text = cause;
            return false;
        }
        throw std::runtime_error("the layout holds neither the new nor the old bytes");
    } catch (const std::exception& error) {
        outcome.result = Outcome::Result::InDoubt;
        outcome.text = InDoubtText(reportId, cause, QString::fromUtf8(error.what()));
        return true;
    }
}

// What was read from the file and sent is what it was known to hold, hashed on the way: a check
// of the file before the send could not tell what the send then read.
void Replacer::checkSent(const store::ContentDigest& sent, const QString& templatePath,
                         const ReplaceOptions& options) {
    if (!options.expectedFile || sent == *options.expectedFile)
        return;
    throw std::runtime_error(
        QStringLiteral("The file %1 holds other bytes than expected (%2 bytes, SHA-256 %3, "
                       "where %4 bytes, SHA-256 %5 were expected)")
            .arg(QFileInfo(templatePath).absoluteFilePath())
            .arg(sent.size)
            .arg(QString::fromLatin1(sent.sha256))
            .arg(options.expectedFile->size)
            .arg(QString::fromLatin1(options.expectedFile->sha256))
            .toStdString());
}

// The length and hash the store tells in one round trip stand for the bytes, unless a full read
// is asked for or the store cannot tell them.
void Replacer::verifyStored(const store::ContentDigest& expected, qint64 serverHash, bool full) {
    report(Phase::WaitingForDatabase);
    if (!full)
        if (const std::optional<store::Fingerprint> stored = store_.StoredFingerprint()) {
            if (*stored != store::Fingerprint{expected.size, serverHash})
                throw std::runtime_error(
                    QStringLiteral(
                        "The server stored other bytes than were sent (%1 bytes, hash %2)")
                        .arg(stored->size)
                        .arg(stored->serverHash)
                        .toStdString());
            return;
        }
    store::DigestSink stored;
    store_.ReadBack([&](const char* data, qint64 count) { stored.write(data, count); });
    if (stored.result() != expected)
        throw std::runtime_error(
            QStringLiteral("The server returned other bytes than were sent (%1 bytes, SHA-256 %2)")
                .arg(stored.result().size)
                .arg(QString::fromLatin1(stored.result().sha256))
                .toStdString());
}

std::vector<StoredLayout> ListLayouts(store::LayoutStore& store) {
    std::vector<StoredLayout> layouts;
    store.ForEachLayout([&](const store::ListedLayout& layout) {
        store::DigestSink digest;
        layout.stream([&](const char* data, qint64 count) { digest.write(data, count); });
        layouts.push_back({layout.reportId, digest.result()});
    });
    return layouts;
}

store::ContentDigest ExportLayout(store::LayoutStore& store, const QString& reportId,
                                  const std::function<void(const char* data, qint64 count)>& sink) {
    store::DigestSink digest;
    store.StreamLayout(reportId, [&](const char* data, qint64 count) {
        digest.write(data, count);
        sink(data, count);
    });
    return digest.result();
}

} // namespace core
