#pragma once

#include "db/Error.h"
#include "store/LayoutStore.h"

namespace db {
class Database;
}

namespace dbstore {

// The store's kind of a failure the client library reported. A connection the database layer
// has closed (lost, or dropped by an abort) counts as lost whatever the codes say.
[[noreturn]] void ThrowAsStoreError(const db::ServerError& error, const db::Database& database);

// The database layer's errors as the store's, with their texts unchanged; anything else, such as
// a file's read error or what a transfer handler threw, goes on as it is.
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

} // namespace dbstore
