#pragma once

#include <ibase.h>
#include <memory>

namespace db {

// The Firebird client library, loaded at run time. Holds the entry points the layer uses.
// Loading fails with Error("InterBase library <name> not found in the path. Please install
// InterBase to use this functionality").
class Client {
public:
    static constexpr const char* DefaultLibrary = "libfbclient.so.2";

    explicit Client(const char* library = DefaultLibrary);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // isc_start_transaction is variadic; it is called through a variadic pointer type.
    using StartTransactionFn = ISC_STATUS (*)(ISC_STATUS*, isc_tr_handle*, short, ...);

    decltype(&::isc_attach_database) attach_database;
    decltype(&::isc_detach_database) detach_database;
    decltype(&::isc_database_info) database_info;
    StartTransactionFn start_transaction;
    decltype(&::isc_commit_transaction) commit_transaction;
    decltype(&::isc_rollback_transaction) rollback_transaction;
    decltype(&::isc_commit_retaining) commit_retaining;
    decltype(&::isc_rollback_retaining) rollback_retaining;
    decltype(&::isc_dsql_allocate_statement) dsql_allocate_statement;
    decltype(&::isc_dsql_prepare) dsql_prepare;
    decltype(&::isc_dsql_describe) dsql_describe;
    decltype(&::isc_dsql_describe_bind) dsql_describe_bind;
    decltype(&::isc_dsql_execute) dsql_execute;
    decltype(&::isc_dsql_fetch) dsql_fetch;
    decltype(&::isc_dsql_free_statement) dsql_free_statement;
    decltype(&::isc_dsql_sql_info) dsql_sql_info;
    decltype(&::isc_dsql_exec_immed2) dsql_exec_immed2;
    decltype(&::isc_create_blob2) create_blob2;
    decltype(&::isc_open_blob2) open_blob2;
    decltype(&::isc_blob_info) blob_info;
    decltype(&::isc_get_segment) get_segment;
    decltype(&::isc_put_segment) put_segment;
    decltype(&::isc_close_blob) close_blob;
    decltype(&::isc_cancel_blob) cancel_blob;
    decltype(&::isc_sqlcode) sqlcode;
    decltype(&::fb_interpret) interpret;
    decltype(&::fb_cancel_operation) cancel_operation;

private:
    struct Unload {
        void operator()(void* library) const;
    };
    std::unique_ptr<void, Unload> library_;
};

} // namespace db
