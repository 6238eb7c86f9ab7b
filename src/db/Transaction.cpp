#include "Transaction.h"

#include "Database.h"
#include "Error.h"

namespace db {

Transaction::Transaction(Database& database, QByteArray parameterBlock, EndAction endAction)
    : database_(database), parameterBlock_(std::move(parameterBlock)), endAction_(endAction) {
    database_.attach(*this);
}

Transaction::~Transaction() {
    EndSilently();
    database_.detach(*this);
}

bool Transaction::Active() const {
    return handle_ != 0;
}

void Transaction::StartTransaction() {
    if (Active())
        throw Error("Transaction is active");
    database_.CheckActive();
    ISC_STATUS_ARRAY status;
    // One database; with an empty parameter block the server's default options apply.
    if (database_.client().start_transaction(
            status, &handle_, 1, database_.handle(), static_cast<int>(parameterBlock_.size()),
            parameterBlock_.isEmpty() ? nullptr : parameterBlock_.constData()))
        database_.RaiseStatus(status);
}

void Transaction::CommitRetaining() {
    end(database_.client().commit_retaining, &Database::RaiseCommitStatus);
}

void Transaction::RollbackRetaining() {
    end(database_.client().rollback_retaining, &Database::RaiseStatus);
}

void Transaction::Commit() {
    end(database_.client().commit_transaction, &Database::RaiseCommitStatus);
}

void Transaction::Rollback() {
    end(database_.client().rollback_transaction, &Database::RaiseStatus);
}

void Transaction::end(Ending ending, Raise raise) {
    if (!Active())
        throw Error("Transaction is not active");
    ISC_STATUS_ARRAY status;
    if (ending(status, &handle_))
        (database_.*raise)(status);
}

void Transaction::EndSilently() {
    if (!Active())
        return;
    ISC_STATUS_ARRAY status;
    const Client& client = database_.client();
    const bool committed =
        endAction_ == EndAction::Commit && client.commit_transaction(status, &handle_) == 0;
    if (!committed && client.rollback_transaction(status, &handle_))
        handle_ = 0; // both failed: the connection is gone and the handle with it
}

Database& Transaction::database() const {
    return database_;
}

isc_tr_handle* Transaction::handle() {
    return &handle_;
}

} // namespace db
