#pragma once

#include "Client.h"

#include <QByteArray>

namespace db {

class Database;

// The single transaction (IBT): empty parameter block, so the server's default options apply.
// Destroyed while active, it commits (unless told to roll back); if that commit fails it rolls
// back, silently.
// The database must outlive it.
class Transaction {
public:
    // How an active transaction ends when destroyed, or when the connection closes.
    enum class EndAction { Commit, Rollback };

    // A non-empty parameter block (isc_tpb_version3 and its items) is sent as it is.
    explicit Transaction(Database& database, QByteArray parameterBlock = {},
                         EndAction endAction = EndAction::Commit);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool Active() const;
    // "Transaction is active" / "Cannot perform operation -- DB is not open". Never connects.
    void StartTransaction();
    // Both keep the transaction active; "Transaction is not active" when it is not. A commit
    // that fails on a lost connection raises CommitInDoubt: the server may have done it.
    void CommitRetaining();
    void RollbackRetaining();
    void Commit();
    void Rollback();

    // Ends an active transaction with its end action (commit, else rollback; or rollback only),
    // errors ignored.
    void EndSilently();

    Database& database() const;
    isc_tr_handle* handle();

private:
    using Ending = ISC_STATUS (*)(ISC_STATUS*, isc_tr_handle*);
    using Raise = void (Database::*)(const ISC_STATUS*);
    void end(Ending ending, Raise raise);

    Database& database_;
    const QByteArray parameterBlock_;
    const EndAction endAction_;
    isc_tr_handle handle_ = 0;
};

} // namespace db
