#include "DataModuleStore.h"

#include "Data.h"
#include "dbstore/CommitCheck.h"
#include "dbstore/ReportErrors.h"
#include "dbstore/ReportsTable.h"
#include "dbstore/Translated.h"
#include "platform/Files.h"

#include <exception>
#include <utility>

using dbstore::Translated;

namespace {

const QString& KeyField = dbstore::reports::Key;
const QString& ContentField = dbstore::reports::Content;

// The report list's transfers go to the handler for as long as it lives; the data module may
// outlive the store.
class TransferRoute {
public:
    TransferRoute(db::Dataset& dataset, const std::function<void(qint64, qint64)>& handler)
        : dataset_(dataset) {
        dataset.OnTransfer = handler;
    }
    ~TransferRoute() { dataset_.OnTransfer = nullptr; }
    TransferRoute(const TransferRoute&) = delete;
    TransferRoute& operator=(const TransferRoute&) = delete;

private:
    db::Dataset& dataset_;
};

// An edit that a failed write leaves would hold half-written content that a later command could
// post: it is cancelled unless the write went through whole.
class EditInProgress {
public:
    explicit EditInProgress(db::Dataset& dataset) : dataset_(dataset) { dataset.Edit(); }
    ~EditInProgress() {
        if (kept_)
            return;
        try {
            dataset_.Cancel();
        } catch (const std::exception&) {
            // Nothing better to do while another error is on its way to the user.
        }
    }
    EditInProgress(const EditInProgress&) = delete;
    EditInProgress& operator=(const EditInProgress&) = delete;
    void keep() { kept_ = true; }

private:
    db::Dataset& dataset_;
    bool kept_ = false;
};

// The current row's content, held in memory by the report list.
class CachedContent final : public store::Source {
public:
    explicit CachedContent(std::unique_ptr<db::ContentReader> reader)
        : reader_(std::move(reader)) {}
    qint64 size() const override { return reader_->size(); }
    qint64 read(char* buffer, qint64 max) override { return reader_->read(buffer, max); }

private:
    std::unique_ptr<db::ContentReader> reader_;
};

void LocateReport(db::Dataset& reports, const QString& reportId) {
    if (!reports.Locate(KeyField, reportId))
        throw dbstore::ReportNotFound(reportId);
}

// Several rows sharing the identifier are refused.
void LocateUniqueReport(db::Dataset& reports, const QString& reportId) {
    int rows = 0;
    for (int row = 0; reports.MoveTo(row); ++row)
        rows += reports.FieldAsString(KeyField) == reportId ? 1 : 0;
    if (rows > 1)
        throw dbstore::ReportNotUnique(reportId, rows);
    LocateReport(reports, reportId);
}

} // namespace

DataModuleStore::DataModuleStore(TDM& dm) : dm_(dm) {}

template <class Call> auto DataModuleStore::run(Call&& call) {
    const TransferRoute route(dm_.IBReports, OnTransfer);
    return Translated(dm_.IBD, std::forward<Call>(call));
}

void DataModuleStore::ForEachLayout(const std::function<void(const store::ListedLayout&)>& visit) {
    db::Dataset& reports = dm_.IBReports;
    run([&] {
        for (int row = 0; reports.MoveTo(row); ++row)
            visit({reports.FieldAsString(KeyField), [&](const store::Sink& sink) {
                       reports.StreamStoredContent(ContentField, sink);
                   }});
    });
}

void DataModuleStore::StreamLayout(const QString& reportId, const store::Sink& sink) {
    run([&] {
        LocateUniqueReport(dm_.IBReports, reportId);
        dm_.IBReports.StreamStoredContent(ContentField, sink);
    });
}

void DataModuleStore::Locate(const QString& reportId) {
    edited_ = false;
    run([&] {
        if (!dm_.IBT.Active())
            dm_.IBT.StartTransaction();
        LocateReport(dm_.IBReports, reportId);
    });
}

std::unique_ptr<store::Source> DataModuleStore::ReadStored() {
    return run([&]() -> std::unique_ptr<store::Source> {
        return std::make_unique<CachedContent>(dm_.IBReports.CreateContentReader(ContentField));
    });
}

void DataModuleStore::Write(store::Source& bytes) {
    run([&] {
        EditInProgress edit(dm_.IBReports);
        edited_ = true;
        {
            const std::unique_ptr<db::ContentWriter> content =
                dm_.IBReports.CreateContentWriter(ContentField);
            content->reserve(bytes.size());
            platform::CopyAll(bytes, *content);
            content->close();
        }
        if (!dm_.IBT.Active())
            dm_.IBT.StartTransaction();
        edit.keep();
    });
}

void DataModuleStore::Post() {
    run([&] { dm_.IBReports.Post(); });
}

void DataModuleStore::ReadBack(const store::Sink& sink) {
    run([&] { dm_.IBReports.StreamStoredContent(ContentField, sink); });
}

void DataModuleStore::Commit() {
    run([&] {
        if (dm_.IBT.Active())
            dm_.IBT.CommitRetaining();
    });
}

void DataModuleStore::RollBack() {
    std::exception_ptr failure;
    try {
        rollBackTransaction();
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    // A post that went through before the commit failed left the rolled-back bytes cached. Only
    // this replacement's: an earlier one's was committed.
    if (std::exchange(edited_, false))
        dm_.IBReports.RevertLastPost();
    dm_.IBReports.Cancel();
    if (failure)
        Translated(dm_.IBD, [&] { std::rethrow_exception(failure); });
}

// The rejected work must never stay pending in the long-lived transaction, where the next commit
// would store it. When rolling back retaining fails (a cancel meant for the failed call can stop
// it too) and the connection is still there, the transaction is rolled back whole and the report
// list opened afresh in a new one.
void DataModuleStore::rollBackTransaction() {
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

void DataModuleStore::CancelCall(Cancel how) {
    dm_.IBD.CancelOperation(how == Cancel::Raise ? db::Database::Cancel::Raise
                                                 : db::Database::Cancel::Abort);
}

store::ContentDigest DataModuleStore::StoredAfterLostCommit(const QString& reportId) {
    return Translated(dm_.IBD,
                      [&] { return dbstore::StoredAfterLostConnection(dm_.IBD, reportId); });
}

std::optional<QString> DataModuleStore::EngineVersion() const {
    return dm_.IBD.EngineVersion();
}
