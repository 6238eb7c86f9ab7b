#include "Translated.h"

#include "db/Database.h"

#include <algorithm>
#include <iberror.h>
#include <initializer_list>

namespace dbstore {
namespace {

bool HasAnyCode(const db::ServerError& error, std::initializer_list<ISC_STATUS> codes) {
    return std::any_of(codes.begin(), codes.end(), [&](long code) { return error.hasCode(code); });
}

} // namespace

void ThrowAsStoreError(const db::ServerError& error, const db::Database& database) {
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

} // namespace dbstore
