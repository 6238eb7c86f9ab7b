#include "DataModuleStore.h"

#include "CommitCheck.h"
#include "Data.h"
#include "db/Error.h"
#include "platform/Files.h"

#include <algorithm>
#include <exception>
#include <iberror.h>
#include <initializer_list>
#include <utility>

namespace {

const QString KeyField = QStringLiteral("ID");
const QString ContentField = QStringLiteral("DESCR");

bool HasAnyCode(const db::ServerError& error, std::initializer_list<ISC_STATUS> codes) {
    return std::any_of(codes.begin(), codes.end(), [&](long code) { return error.hasCode(code); });
}

// The kinds the core tells apart. A connection the database layer has closed (lost, or dropped by
// an abort) counts as lost whatever the codes say.
[[noreturn]] void ThrowAsStoreError(const db::ServerError& error, const db::Database& database) {
    const char* text = error.what();
    if (!database.Connected() ||
        HasAnyCode(error, {isc_lost_db_connection, isc_net_read_err, isc_net_write_err}))
        throw store::ConnectionLost(text);
    if (HasAnyCode(error, {isc_deadlock, isc_update_conflict}))
        throw store::UpdateConflict(text);
    if (HasAnyCode(error, {isc_lock_conflict, isc_lock_timeout}))
        throw store::LockTimeout(text);
    if (error.hasCode(isc_cancelled))
        throw store::Cancelled(text);
    throw store::Error(text);
}

// The database layer's errors as the store's; anything else, such as a file's read error or what
// a transfer handler threw, goes on as it is.
template <class Call> auto Translated(const db::Database& database, Call&& call) {
    try {
        return call();
    } catch (const db::CommitInDoubt& error) {
        throw store::CommitInDoubt(error.what());
    } catch (const db::ServerError& error) {
        ThrowAsStoreError(error, database);
    } catch (const db::RowCountError& error) {
        if (error.rows() == 0)
            throw store::NotFound(error.what());
        throw store::NotUnique(error.what());
    } catch (const db::Error& error) {
        throw store::Error(error.what());
    }
}

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
        throw store::NotFound(
            QStringLiteral("Report %1 was not found in REPORTS. Nothing was changed.")
                .arg(reportId)
                .toStdString());
}

// Which of two rows sharing an identifier holds the layout is anyone's guess: refused, as an
// update of such an identifier is.
void LocateUniqueReport(db::Dataset& reports, const QString& reportId) {
    int rows = 0;
    for (int row = 0; reports.MoveTo(row); ++row)
        rows += reports.FieldAsString(KeyField) == reportId ? 1 : 0;
    if (rows > 1)
        throw store::NotUnique(QStringLiteral("%1 rows in REPORTS have the identifier %2: the "
                                              "report identifier is not unique")
                                   .arg(rows)
                                   .arg(reportId)
                                   .toStdString());
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
                      [&] { return datamodule::StoredAfterLostConnection(dm_.IBD, reportId); });
}
