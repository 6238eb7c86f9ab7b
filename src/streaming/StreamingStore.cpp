#include "StreamingStore.h"

#include "db/Blob.h"
#include "db/Error.h"
#include "db/Statement.h"
#include "dbstore/CommitCheck.h"
#include "dbstore/ReportErrors.h"
#include "dbstore/ReportsTable.h"
#include "dbstore/Translated.h"
#include "platform/Files.h"

#include <cstring>
#include <iberror.h>
#include <utility>

namespace streaming {
namespace {

namespace reports = dbstore::reports;

// Srp256 is all that Firebird 4 and later accept by default, Srp what Firebird 3 does, and
// Firebird 2.5 knows only the legacy login.
const QStringList AuthPlugins{QStringLiteral("Srp256"), QStringLiteral("Srp"),
                              QStringLiteral("Legacy_Auth")};

// Read-write, concurrency, wait: the data module's transaction, spelled out.
constexpr char TransactionItems[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_concurrency,
                                     isc_tpb_wait};

std::unique_ptr<db::Client> LoadClient(const char* library) {
    try {
        return std::make_unique<db::Client>(library);
    } catch (const db::Error& error) {
        throw store::Error(error.what());
    }
}

// A BLOB column's value as an id, empty for NULL.
QByteArray BlobIdOf(const db::Value& value) {
    return value.null ? QByteArray() : value.data;
}

ISC_QUAD QuadOf(const QByteArray& id) {
    ISC_QUAD quad{};
    std::memcpy(&quad, id.constData(), sizeof quad);
    return quad;
}

qint64 IntegerOf(const db::Value& text) {
    return text.null ? 0 : text.data.trimmed().toLongLong();
}

store::Fingerprint FingerprintOfRow(const std::vector<db::Value>& row) {
    return {IntegerOf(row[0]), IntegerOf(row[1])};
}

// The stored BLOB read on demand, its transfers reported and its failures the store's.
class StoredSource final : public store::Source {
public:
    StoredSource(db::Transaction& transaction, const QByteArray& id,
                 const store::LayoutStore& owner)
        : database_(transaction.database()), owner_(owner) {
        if (!id.isEmpty())
            blob_ =
                std::make_unique<db::BlobReader>(transaction, QuadOf(id), db::LargestBlobSegment);
    }
    qint64 size() const override { return blob_ ? blob_->size() : 0; }
    qint64 read(char* buffer, qint64 max) override {
        if (!blob_)
            return 0;
        const qint64 got = dbstore::Translated(database_, [&] { return blob_->read(buffer, max); });
        done_ += got;
        if (got > 0 && owner_.OnTransfer)
            owner_.OnTransfer(done_, size());
        return got;
    }

private:
    db::Database& database_;
    const store::LayoutStore& owner_;
    std::unique_ptr<db::BlobReader> blob_;
    qint64 done_ = 0;
};

// A new BLOB filled from a source, its transfers reported.
class NewBlob {
public:
    NewBlob(db::Transaction& transaction, const db::Database& database, qint64 total,
            const std::function<void(qint64, qint64)>& progress)
        : writer_(transaction,
                  db::TargetColumnParameterBlock(database, reports::Table, reports::Content),
                  db::LargestBlobSegment),
          total_(total), progress_(progress) {}
    void write(const char* data, qint64 count) {
        writer_.write(data, count);
        done_ += count;
        if (progress_)
            progress_(done_, total_);
    }
    // Empty content is stored as NULL, as the window stores it; the BLOB is then cancelled.
    QByteArray close() {
        if (done_ == 0)
            return {};
        const ISC_QUAD id = writer_.close();
        return QByteArray(reinterpret_cast<const char*>(&id), sizeof id);
    }

private:
    db::BlobWriter writer_;
    const qint64 total_;
    const std::function<void(qint64, qint64)>& progress_;
    qint64 done_ = 0;
};

// Closes the connection when the transaction is still active as this goes.
class ClosedIfPending {
public:
    ClosedIfPending(db::Database& database, const db::Transaction& transaction)
        : database_(database), transaction_(transaction) {}
    ~ClosedIfPending() {
        if (!transaction_.Active())
            return;
        try {
            database_.Close();
        } catch (const std::exception&) {
            // The transaction ended with the handles all the same; its failure is on its way.
        }
    }
    ClosedIfPending(const ClosedIfPending&) = delete;
    ClosedIfPending& operator=(const ClosedIfPending&) = delete;

private:
    db::Database& database_;
    const db::Transaction& transaction_;
};

} // namespace

StreamingStore::StreamingStore(const QString& target, db::ConnectionOptions options,
                               const char* clientLibrary)
    : client_(LoadClient(clientLibrary)), database_(*client_),
      transaction_(database_, QByteArray(TransactionItems, sizeof TransactionItems),
                   db::Transaction::EndAction::Rollback) {
    database_.DatabaseName = target;
    options.sqlDialect = db::Database::SQLDialect;
    options.authPlugins = AuthPlugins;
    database_.Options = std::move(options);
}

StreamingStore::~StreamingStore() = default;

template <class Call> auto StreamingStore::run(Call&& call) {
    return dbstore::Translated(database_, std::forward<Call>(call));
}

// Connected and the transaction begun at first use, and again after a lost connection.
db::Transaction& StreamingStore::transaction() {
    if (!database_.Connected())
        database_.Open();
    if (!transaction_.Active())
        transaction_.StartTransaction();
    return transaction_;
}

void StreamingStore::Connect() {
    run([this] { transaction(); });
}

// In one exchange with the server, which refuses a select of no row or of several; only then
// are the rows counted.
std::optional<std::vector<db::Value>>
StreamingStore::rowOf(const QString& reportId, const QString& columns,
                      const std::vector<db::ColumnInfo>& types) {
    try {
        return reports::SelectRow(database_, transaction(), reportId, columns, types);
    } catch (const db::ServerError& error) {
        if (!error.hasCode(isc_sing_select_err))
            throw;
        throw dbstore::ReportNotUnique(
            reportId, static_cast<int>(reports::RowsWithKey(database_, transaction_, reportId)));
    }
}

QByteArray StreamingStore::locateBlob(const QString& reportId) {
    const auto row = rowOf(reportId, reports::Content, {reports::BlobColumn()});
    if (!row)
        throw dbstore::ReportNotFound(reportId);
    return BlobIdOf((*row)[0]);
}

void StreamingStore::stream(const QByteArray& blobId, const store::Sink& sink) {
    StoredSource source(transaction(), blobId, *this);
    const auto buffer = std::make_unique_for_overwrite<char[]>(db::LargestBlobSegment);
    while (const qint64 got = source.read(buffer.get(), db::LargestBlobSegment))
        sink(buffer.get(), got);
}

void StreamingStore::ForEachLayout(const std::function<void(const store::ListedLayout&)>& visit) {
    run([&] {
        db::Statement query(database_, transaction());
        query.Prepare(reports::SelectAll());
        query.Execute();
        while (query.Fetch()) {
            const std::vector<db::Value> row = query.Row();
            const QByteArray id = BlobIdOf(row[1]);
            visit({QString::fromLocal8Bit(row[0].data), [&](const store::Sink& sink) {
                       stream(id, sink);
                   }});
        }
    });
}

void StreamingStore::StreamLayout(const QString& reportId, const store::Sink& sink) {
    run([&] { stream(locateBlob(reportId), sink); });
}

void StreamingStore::Locate(const QString& reportId) {
    written_.reset();
    posted_.reset();
    run([&] {
        storedBlob_ = locateBlob(reportId);
        reportId_ = reportId;
    });
}

std::unique_ptr<store::Source> StreamingStore::ReadStored() {
    return run([&] { return std::make_unique<StoredSource>(transaction(), storedBlob_, *this); });
}

void StreamingStore::Write(store::Source& bytes) {
    written_.reset();
    posted_.reset();
    run([&] {
        NewBlob blob(transaction(), database_, bytes.size(), OnTransfer);
        platform::CopyAll(bytes, blob);
        written_ = blob.close();
    });
}

// The update tells the row's length and hash as it stored them, after its triggers, in its own
// exchange with the server: a verification that follows costs no round trip of its own. A row
// the update does not reach returns its constant NULL; several make the server refuse it.
void StreamingStore::Post() {
    if (!written_)
        throw std::logic_error("Post without a layout written");
    run([&] {
        const db::Value content = written_->isEmpty()
                                      ? db::Value{true, QByteArray(sizeof(ISC_QUAD), '\0')}
                                      : db::Value{false, *written_};
        std::vector<db::Value> row;
        try {
            row = reports::UpdateContent(
                database_, transaction(), reportId_, content,
                QStringLiteral("'1', ") + reports::FingerprintColumns(),
                {reports::TextColumn(1), reports::TextColumn(21), reports::TextColumn(21)});
        } catch (const db::ServerError& error) {
            if (!error.hasCode(isc_sing_select_err))
                throw;
            db::CheckOneRowChanged(reports::RowsWithKey(database_, transaction(), reportId_),
                                   reports::Table.toStdString());
        }
        db::CheckOneRowChanged(row[0].null ? 0 : 1, reports::Table.toStdString());
        posted_ = store::Fingerprint{IntegerOf(row[1]), IntegerOf(row[2])};
    });
    written_.reset();
}

void StreamingStore::ReadBack(const store::Sink& sink) {
    run([&] { stream(locateBlob(reportId_), sink); });
}

// What the update just told, else a select of its own.
std::optional<store::Fingerprint> StreamingStore::StoredFingerprint() {
    if (posted_)
        return std::exchange(posted_, std::nullopt);
    return run([&] {
        const auto row =
            rowOf(reportId_, reports::FingerprintColumns(), reports::FingerprintTypes());
        if (!row)
            throw dbstore::ReportNotFound(reportId_);
        return std::optional<store::Fingerprint>(FingerprintOfRow(*row));
    });
}

// One exchange: the layout itself never crosses the link.
std::optional<store::Fingerprint> StreamingStore::FingerprintOf(const QString& reportId) {
    return run([&]() -> std::optional<store::Fingerprint> {
        const auto row =
            rowOf(reportId, reports::FingerprintColumns(), reports::FingerprintTypes());
        if (!row)
            return std::nullopt;
        return FingerprintOfRow(*row);
    });
}

void StreamingStore::Commit() {
    posted_.reset();
    run([&] { transaction_.Commit(); });
}

void StreamingStore::RollBack() {
    written_.reset();
    posted_.reset();
    run([&] { rollBack(); });
}

// Nothing may stay pending where a later commit would store it. A cancel meant for the failed
// call can stop the first try; when a second fails too, the connection is closed, and the server
// rolls back what it held.
void StreamingStore::rollBack() {
    const ClosedIfPending lastResort(database_, transaction_);
    try {
        transaction_.Rollback();
        return;
    } catch (const db::Error&) {
        if (!transaction_.Active())
            return;
    }
    transaction_.Rollback();
}

void StreamingStore::CancelCall(Cancel how) {
    database_.CancelOperation(how == Cancel::Raise ? db::Database::Cancel::Raise
                                                   : db::Database::Cancel::Abort);
}

store::ContentDigest StreamingStore::StoredAfterLostCommit(const QString& reportId) {
    return run([&] { return dbstore::StoredAfterLostConnection(database_, reportId); });
}

std::optional<QString> StreamingStore::EngineVersion() const {
    return database_.EngineVersion();
}

std::optional<bool> StreamingStore::WireCompressed() const {
    return database_.WireCompressed();
}

} // namespace streaming
