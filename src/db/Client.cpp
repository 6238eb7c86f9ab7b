#include "Client.h"

#include "Error.h"

#include <dlfcn.h>
#include <string>

namespace db {

namespace {

Error libraryNotFound(const char* library) {
    return Error("InterBase library " + std::string(library) +
                 " not found in the path. Please install InterBase to use this functionality");
}

// A library lacking any entry point is as unusable as a missing one, so both fail alike.
template <typename Entry>
void resolve(void* library, const char* name, const char* symbol, Entry& entry) {
    void* address = dlsym(library, symbol);
    if (!address)
        throw libraryNotFound(name);
    entry = reinterpret_cast<Entry>(address);
}

} // namespace

void Client::Unload::operator()(void* library) const {
    dlclose(library);
}

// Never unloaded once loaded: unloading the client library waits some 50 ms for its threads and
// the next load sets it all up again, which a rollout would pay for every database.
Client::Client(const char* library)
    : library_(dlopen(library, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
    if (!library_)
        throw libraryNotFound(library);
    void* lib = library_.get();
    resolve(lib, library, "isc_attach_database", attach_database);
    resolve(lib, library, "isc_detach_database", detach_database);
    resolve(lib, library, "isc_database_info", database_info);
    resolve(lib, library, "isc_start_transaction", start_transaction);
    resolve(lib, library, "isc_commit_transaction", commit_transaction);
    resolve(lib, library, "isc_rollback_transaction", rollback_transaction);
    resolve(lib, library, "isc_commit_retaining", commit_retaining);
    resolve(lib, library, "isc_rollback_retaining", rollback_retaining);
    resolve(lib, library, "isc_dsql_allocate_statement", dsql_allocate_statement);
    resolve(lib, library, "isc_dsql_prepare", dsql_prepare);
    resolve(lib, library, "isc_dsql_describe", dsql_describe);
    resolve(lib, library, "isc_dsql_describe_bind", dsql_describe_bind);
    resolve(lib, library, "isc_dsql_execute", dsql_execute);
    resolve(lib, library, "isc_dsql_fetch", dsql_fetch);
    resolve(lib, library, "isc_dsql_free_statement", dsql_free_statement);
    resolve(lib, library, "isc_dsql_sql_info", dsql_sql_info);
    resolve(lib, library, "isc_dsql_exec_immed2", dsql_exec_immed2);
    resolve(lib, library, "isc_create_blob2", create_blob2);
    resolve(lib, library, "isc_open_blob2", open_blob2);
    resolve(lib, library, "isc_blob_info", blob_info);
    resolve(lib, library, "isc_get_segment", get_segment);
    resolve(lib, library, "isc_put_segment", put_segment);
    resolve(lib, library, "isc_close_blob", close_blob);
    resolve(lib, library, "isc_cancel_blob", cancel_blob);
    resolve(lib, library, "isc_sqlcode", sqlcode);
    resolve(lib, library, "fb_interpret", interpret);
    resolve(lib, library, "fb_cancel_operation", cancel_operation);
}

Client::~Client() = default;

} // namespace db
