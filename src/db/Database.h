#pragma once

#include "Client.h"
#include "ConnectionOptions.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <optional>
#include <vector>

namespace db {

class Transaction;
class Dataset;
class ServerError;

// One connection to a Firebird database (IBD). The client dialect is always 1.
class Database {
public:
    explicit Database(Client& client);
    ~Database(); // closes the connection
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    QString DatabaseName;
    ConnectionOptions Options;
    std::function<void(Database&)> BeforeConnect;
    std::function<void(Database&)> AfterConnect; // only after a successful attach

    bool Connected() const;
    // Runs BeforeConnect, builds the parameter block once, attaches, reads the database's dialect,
    // on-disk structure version and the server's version, then runs AfterConnect.
    void Open();
    // Closes dependent datasets, ends active transactions with their end action, detaches.
    void Close();

    static constexpr int SQLDialect = 1;
    int DBSQLDialect() const;
    int OdsMajorVersion() const;

    // The server's number for this attachment, as its monitoring tables show it.
    qint64 AttachmentId() const;
    // The server's own name for the database, the same through any connect string that reaches
    // it: the server's host name, the file as the server expanded it, and the database's creation
    // time. Empty when the server does not tell the file's name.
    const QByteArray& ServerIdentity() const;

    // The engine's version of the server last attached to, such as "4.0.5"; none before.
    const std::optional<QString>& EngineVersion() const;
    // Whether the server reports the traffic of the connection last made as compressed; none
    // before it, and from a server before Firebird 3.
    std::optional<bool> WireCompressed() const;

    const QByteArray& ParameterBlock() const;

    // Raises the status vector as a ServerError. On a lost connection (isc_lost_db_connection,
    // isc_net_read_err, isc_net_write_err) the connection is force-closed first.
    [[noreturn]] void RaiseStatus(const ISC_STATUS* status);
    // The same for a failed commit, except that a lost connection raises CommitInDoubt.
    [[noreturn]] void RaiseCommitStatus(const ISC_STATUS* status);
    // Raises "Cannot perform operation -- DB is not open" when not connected.
    void CheckActive() const;

    // From any thread, while another one may be waiting in a call on this connection. Raise asks
    // the server to fail that call; Abort drops the connection from this side, for a server that
    // does not answer, and the waiting call then fails as a lost connection. Nothing happens when
    // there is no connection, and a refusal (nothing to cancel) is not an error.
    enum class Cancel { Raise, Abort };
    void CancelOperation(Cancel how);

    Client& client() const;
    isc_db_handle* handle();

    void attach(Transaction& transaction);
    void detach(Transaction& transaction);
    void attach(Dataset& dataset);
    void detach(Dataset& dataset);

private:
    // Ends everything on the connection ignoring errors: for a lost connection and destruction.
    void forceClose();
    void readDatabaseInfo();
    bool closeIfLost(const ServerError& error) const;

    Client& client_;
    isc_db_handle handle_ = 0;
    std::atomic<isc_db_handle> cancelHandle_ = 0; // handle_, for other threads
    QByteArray parameterBlock_;
    int dbDialect_ = 0;
    int odsMajor_ = 0;
    qint64 attachmentId_ = 0;
    QByteArray serverIdentity_;
    std::optional<QString> engineVersion_;
    std::optional<bool> wireCompressed_;
    std::atomic<bool> aborted_ =
        false; // dropped by CancelOperation: every failure is a lost connection
    bool forceClosing_ = false;
    std::vector<Transaction*> transactions_;
    std::vector<Dataset*> datasets_;
};

} // namespace db
