#pragma once

#include "db/Client.h"
#include "db/Database.h"
#include "db/Statement.h"
#include "db/Transaction.h"
#include "store/LayoutStore.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

namespace streaming {

// The layouts as plain statements and BLOB streams see them: no row is cached and no layout held
// in memory, and every segment is as large as the client library takes, so a slow link costs as
// few round trips as it can. One attachment, connected at first use, and one transaction at a
// time (read-write, concurrency, wait), rolled back when the store goes unless committed. The
// database's errors come out as the store's, with their texts unchanged.
class StreamingStore final : public store::LayoutStore {
public:
    // Attaches with the caller's options in the client dialect 1, offering the authentication
    // plugins of Firebird 4 and 3 servers, then Firebird 2.5's.
    StreamingStore(const QString& target, db::ConnectionOptions options,
                   const char* clientLibrary = db::Client::DefaultLibrary);
    ~StreamingStore() override;
    StreamingStore(const StreamingStore&) = delete;
    StreamingStore& operator=(const StreamingStore&) = delete;

    // Connects and begins the transaction now rather than at first use.
    void Connect();
    // Once connected: what tells this database from any other (db::Database::ServerIdentity).
    const QByteArray& ServerIdentity() const { return database_.ServerIdentity(); }

    void ForEachLayout(const std::function<void(const store::ListedLayout&)>& visit) override;
    void StreamLayout(const QString& reportId, const store::Sink& sink) override;
    std::optional<store::Fingerprint> FingerprintOf(const QString& reportId) override;

    void Locate(const QString& reportId) override;
    std::unique_ptr<store::Source> ReadStored() override;
    void Write(store::Source& bytes) override;
    void Post() override;
    void ReadBack(const store::Sink& sink) override;
    std::optional<store::Fingerprint> StoredFingerprint() override;
    void Commit() override;
    void RollBack() override;
    void CancelCall(Cancel how) override;
    store::ContentDigest StoredAfterLostCommit(const QString& reportId) override;
    std::optional<QString> EngineVersion() const override;
    std::optional<bool> WireCompressed() const override;

private:
    template <class Call> auto run(Call&& call);
    db::Transaction& transaction();
    // The report's one row in the asked columns, nullopt when none has it; NotUnique.
    std::optional<std::vector<db::Value>> rowOf(const QString& reportId, const QString& columns,
                                                const std::vector<db::ColumnInfo>& types);
    // The one BLOB id of the report's row (empty for NULL); NotFound, NotUnique.
    QByteArray locateBlob(const QString& reportId);
    void stream(const QByteArray& blobId, const store::Sink& sink);
    void rollBack();

    std::unique_ptr<db::Client> client_; // first: loaded before, released after the connection
    db::Database database_;
    db::Transaction transaction_;
    QString reportId_;                         // since Locate
    QByteArray storedBlob_;                    // the located row's BLOB id as found, empty for NULL
    std::optional<QByteArray> written_;        // the BLOB id Write made, empty for NULL, until Post
    std::optional<store::Fingerprint> posted_; // what Post's update told, until the next step
};

} // namespace streaming
