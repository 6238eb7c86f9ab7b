#include "Replacement.h"

#include "CommitCheck.h"
#include "datamodule/Data.h"
#include "db/Error.h"
#include "platform/BackupName.h"
#include "platform/Files.h"

#include <cstring>

namespace core {
namespace {

const QString KeyField = QStringLiteral("ID");
const QString ContentField = QStringLiteral("DESCR");

class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("The replacement was cancelled") {}
};

// An edit left pending by a failure would hold half-written content that a later command could
// post: whatever ends the replacement before the guarded post cancels it. Outside edit mode (after
// the guarded step) cancelling does nothing.
class PendingEdit {
public:
    explicit PendingEdit(db::Dataset& dataset) : dataset_(dataset) { dataset.Edit(); }
    ~PendingEdit() {
        try {
            dataset_.Cancel();
        } catch (const std::exception&) {
            // Nothing better to do while another error is on its way to the user.
        }
    }
    PendingEdit(const PendingEdit&) = delete;
    PendingEdit& operator=(const PendingEdit&) = delete;

private:
    db::Dataset& dataset_;
};

// Routes the report list's BLOB transfers to a handler for as long as it lives.
class TransferHook {
public:
    TransferHook(db::Dataset& dataset, std::function<void(qint64, qint64)> handler)
        : dataset_(dataset) {
        dataset.OnTransfer = std::move(handler);
    }
    ~TransferHook() { dataset_.OnTransfer = nullptr; }
    TransferHook(const TransferHook&) = delete;
    TransferHook& operator=(const TransferHook&) = delete;

private:
    db::Dataset& dataset_;
};

// A source read through: what passes is summed up and reported as progress.
template <class Source> class Observed {
public:
    Observed(Source& source, qint64 total, bool hashing,
             std::function<void(qint64, qint64)> progress)
        : source_(source), total_(total), progress_(std::move(progress)), digest_(hashing) {}
    qint64 read(char* buffer, qint64 max) {
        const qint64 got = source_.read(buffer, max);
        digest_.write(buffer, got);
        done_ += got;
        progress_(done_, total_);
        return got;
    }
    ContentDigest digest() const { return digest_.result(); }

private:
    Source& source_;
    const qint64 total_;
    std::function<void(qint64, qint64)> progress_;
    DigestSink digest_;
    qint64 done_ = 0;
};

// Compares two sources to their ends, chunk by chunk.
bool SameBytes(db::ContentReader& stored, platform::InputFile& file) {
    if (stored.size() != file.size())
        return false;
    const auto a = std::make_unique_for_overwrite<char[]>(platform::CopyBufferSize);
    const auto b = std::make_unique_for_overwrite<char[]>(platform::CopyBufferSize);
    for (;;) {
        const qint64 got = platform::detail::FillBuffer(file, a.get());
        if (platform::detail::FillBuffer(stored, b.get()) != got ||
            std::memcmp(a.get(), b.get(), static_cast<size_t>(got)) != 0)
            return false;
        if (got < platform::CopyBufferSize)
            return true;
    }
}

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
QString ConflictAdvice(const db::ServerError& error) {
    constexpr long UpdateConflict = 335544336, ConcurrentUpdate = 335544451;
    if (!error.hasCode(UpdateConflict) && !error.hasCode(ConcurrentUpdate))
        return {};
    return QStringLiteral("\nAnother user changed this layout after the tool started. Restart "
                          "the tool: it then shows that change and the replacement can go "
                          "through.");
}

// The digest with its SHA-256, summed up from the source now when that was not done on the way.
ContentDigest Hashed(const ContentDigest& digest, platform::InputFile& source) {
    if (!digest.sha256.isEmpty())
        return digest;
    source.rewind();
    DigestSink hashed;
    platform::CopyAll(source, hashed);
    return hashed.result();
}

bool Holds(const ContentDigest& stored, const ContentDigest& known, platform::InputFile& source) {
    return stored.size == known.size && stored == Hashed(known, source);
}

QString InDoubtText(const QString& reportId, const QString& cause, const QString& checkFailure) {
    return QStringLiteral("The connection to the database was lost while the commit was on its "
                          "way (%1), and a new connection could not tell whether it went through "
                          "(%2). The layout %3 may or may not be stored: check it before trying "
                          "again.")
        .arg(cause, checkFailure, reportId);
}

void LocateReport(db::Dataset& reports, const QString& reportId) {
    if (!reports.Locate(KeyField, reportId))
        throw ReportNotFound(reportId);
}

// Which of two rows sharing an identifier holds the layout is anyone's guess: refused, as an
// update of such an identifier is.
void LocateUniqueReport(db::Dataset& reports, const QString& reportId) {
    int rows = 0;
    for (int row = 0; reports.MoveTo(row); ++row)
        rows += reports.FieldAsString(KeyField) == reportId ? 1 : 0;
    if (rows > 1)
        throw std::runtime_error(QStringLiteral("%1 rows in REPORTS have the identifier %2: the "
                                                "report identifier is not unique")
                                     .arg(rows)
                                     .arg(reportId)
                                     .toStdString());
    LocateReport(reports, reportId);
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

ReportNotFound::ReportNotFound(const QString& reportId)
    : std::runtime_error(QStringLiteral("Report %1 was not found in REPORTS. Nothing was changed.")
                             .arg(reportId)
                             .toStdString()) {}

Replacer::Replacer(TDM& dm) : dm_(dm) {}

void Replacer::Cancel() {
    cancelRequested_ = true;
    dm_.IBD.CancelOperation(db::Database::Cancel::Raise);
}

void Replacer::Abort() {
    cancelRequested_ = true;
    dm_.IBD.CancelOperation(db::Database::Cancel::Abort);
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
    const TransferHook hook(dm_.IBReports,
                            [this](qint64 done, qint64 total) { reportTransfer(done, total); });
    try {
        run(outcome, reportId, templatePath, options);
    } catch (const Cancelled& cancelled) {
        outcome.result = Outcome::Result::Failed;
        outcome.text = QString::fromUtf8(cancelled.what());
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
    platform::InputFile file(templatePath);
    db::Transaction& transaction = dm_.IBT;
    db::Dataset& reports = dm_.IBReports;
    if (!transaction.Active())
        transaction.StartTransaction();

    report(Phase::ReadingStored);
    LocateReport(reports, reportId);
    {
        const std::unique_ptr<db::ContentReader> stored = reports.CreateContentReader(ContentField);
        if (options.skipIdenticalContent && SameBytes(*stored, file)) {
            outcome.result = Outcome::Result::Unchanged;
            return;
        }
    }
    {
        const std::unique_ptr<db::ContentReader> stored = reports.CreateContentReader(ContentField);
        report(Phase::WritingBackup, 0, stored->size());
        Observed source(
            *stored, stored->size(), options.digests,
            [this](qint64 done, qint64 total) { report(Phase::WritingBackup, done, total); });
        const QString directory = options.backupDirectory.isEmpty() ? platform::WorkingDirectory()
                                                                    : options.backupDirectory;
        outcome.backupPath = platform::WriteBackup(
            source, reportId, platform::TimeStamp(platform::LocalNow()), directory);
        outcome.stored = source.digest();
    }

    file.rewind();
    Observed chosen(
        file, file.size(), options.digests || options.verifyStored,
        [this](qint64 done, qint64 total) { report(Phase::ReadingTemplate, done, total); });
    if (options.dryRun) {
        DigestSink ignored;
        platform::CopyAll(chosen, ignored);
        outcome.replacement = chosen.digest();
        if (transaction.Active())
            transaction.RollbackRetaining();
        outcome.result = Outcome::Result::DryRun;
        return;
    }

    const PendingEdit edit(reports);
    {
        const std::unique_ptr<db::ContentWriter> content =
            reports.CreateContentWriter(ContentField);
        content->reserve(file.size());
        platform::CopyAll(chosen, *content);
        content->close();
    }
    outcome.replacement = chosen.digest();
    if (!transaction.Active())
        transaction.StartTransaction();
    postAndCommit(outcome, reportId, file, options.verifyStored);
}

void Replacer::postAndCommit(Outcome& outcome, const QString& reportId, platform::InputFile& file,
                             bool verify) {
    db::Transaction& transaction = dm_.IBT;
    db::Dataset& reports = dm_.IBReports;
    try {
        report(outcome.replacement.size > 0 ? Phase::SendingNew : Phase::WaitingForDatabase, 0,
               outcome.replacement.size);
        reports.Post();
        if (verify)
            verifyStored(outcome.replacement);
        report(Phase::WaitingForDatabase);
        if (transaction.Active())
            transaction.CommitRetaining();
        outcome.result = Outcome::Result::Replaced;
        return;
    } catch (const db::CommitInDoubt& error) {
        if (settleLostCommit(outcome, reportId, file, QString::fromUtf8(error.what())))
            return;
    } catch (const db::ServerError& error) {
        outcome.text = QString::fromUtf8(error.what()) + ConflictAdvice(error);
    } catch (const std::exception& error) {
        outcome.text = QString::fromUtf8(error.what());
    }
    Attempt([&] { rollBack(); });
    // A post that went through before the commit failed left the rolled-back bytes cached.
    Attempt([&] { reports.RevertLastPost(); });
    Attempt([&] { reports.Cancel(); });
    outcome.result = Outcome::Result::Failed;
}

// The commit may have reached the server before its connection went. True when that settles the
// outcome (stored, or not knowable); false when the old bytes are still there, a plain failure.
bool Replacer::settleLostCommit(Outcome& outcome, const QString& reportId,
                                platform::InputFile& file, const QString& cause) {
    try {
        const ContentDigest now = StoredAfterLostConnection(dm_.IBD, reportId);
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

// The rejected work must never stay pending in the long-lived transaction, where the next commit
// would store it. When rolling back retaining fails (a cancel meant for the failed call can stop
// it too) and the connection is still there, the transaction is rolled back whole and the report
// list opened afresh in a new one.
void Replacer::rollBack() {
    db::Transaction& transaction = dm_.IBT;
    if (!transaction.Active())
        return;
    try {
        transaction.RollbackRetaining();
        return;
    } catch (const std::exception&) {
        if (!transaction.Active())
            return;
    }
    dm_.IBReports.Close();
    transaction.Rollback();
    dm_.OpenReportList();
}

void Replacer::verifyStored(const ContentDigest& expected) {
    report(Phase::WaitingForDatabase);
    DigestSink stored;
    dm_.IBReports.StreamStoredContent(
        ContentField, [&](const char* data, qint64 count) { stored.write(data, count); });
    if (stored.result() != expected)
        throw std::runtime_error(
            QStringLiteral("The server returned other bytes than were sent (%1 bytes, SHA-256 %2)")
                .arg(stored.result().size)
                .arg(QString::fromLatin1(stored.result().sha256))
                .toStdString());
}

std::vector<StoredLayout> ListLayouts(TDM& dm) {
    db::Dataset& reports = dm.IBReports;
    std::vector<StoredLayout> layouts;
    for (int row = 0; reports.MoveTo(row); ++row) {
        DigestSink digest;
        reports.StreamStoredContent(
            ContentField, [&](const char* data, qint64 count) { digest.write(data, count); });
        layouts.push_back({reports.FieldAsString(KeyField), digest.result()});
    }
    return layouts;
}

ContentDigest ExportLayout(TDM& dm, const QString& reportId,
                           const std::function<void(const char* data, qint64 count)>& sink) {
    LocateUniqueReport(dm.IBReports, reportId);
    DigestSink digest;
    dm.IBReports.StreamStoredContent(ContentField, [&](const char* data, qint64 count) {
        digest.write(data, count);
        sink(data, count);
    });
    return digest.result();
}

} // namespace core
