// A client library for tests: it exports every entry point the database layer loads, forwards
// each call to the real libfbclient.so.2, counts the calls, and fails the ones it is told to with
// a status vector of one error code, or flips a byte of what a segment read returns. The real
// server cannot be made to fail a BLOB segment or a rollback, nor to return other bytes; this can.
// Controlled through the korvex_fault_* functions (tests/support/FaultClient.h).

#include <cstdarg>
#include <dlfcn.h>
#include <ibase.h>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Fault {
    int call;
    ISC_STATUS code;
};

struct State {
    std::mutex mutex;
    std::map<std::string, int> calls;
    std::map<std::string, Fault> faults;
    std::map<std::string, int> corruptions; // the call whose returned bytes get flipped
};

State& state() {
    static State state;
    return state;
}

// Counts the call; the error code to fail it with, or 0.
ISC_STATUS Injected(const char* function) {
    State& s = state();
    const std::lock_guard lock(s.mutex);
    const int call = ++s.calls[function];
    const auto fault = s.faults.find(function);
    return fault != s.faults.end() && fault->second.call == call ? fault->second.code : 0;
}

bool CorruptsLastCall(const char* function) {
    State& s = state();
    const std::lock_guard lock(s.mutex);
    const auto corruption = s.corruptions.find(function);
    return corruption != s.corruptions.end() && corruption->second == s.calls[function];
}

ISC_STATUS Refuse(ISC_STATUS* status, ISC_STATUS code) {
    status[0] = isc_arg_gds;
    status[1] = code;
    status[2] = isc_arg_end;
    return code;
}

template <class Function> Function Real(const char* name) {
    static void* const library = dlopen("libfbclient.so.2", RTLD_NOW | RTLD_LOCAL);
    return reinterpret_cast<Function>(dlsym(library, name));
}

template <class Function, class... Args>
ISC_STATUS Forward(const char* name, ISC_STATUS* status, Args... args) {
    if (const ISC_STATUS code = Injected(name))
        return Refuse(status, code);
    return Real<Function>(name)(status, args...);
}

// One database of a multi-database start, as the real library's isc_start_multiple takes it.
struct TransactionElement {
    isc_db_handle* database;
    int parameterLength;
    const char* parameters;
};

} // namespace

extern "C" {

void korvex_fault_reset() {
    State& s = state();
    const std::lock_guard lock(s.mutex);
    s.calls.clear();
    s.faults.clear();
    s.corruptions.clear();
}

void korvex_fault_fail(const char* function, int call, long code) {
    State& s = state();
    const std::lock_guard lock(s.mutex);
    s.faults[function] = Fault{call, code};
}

void korvex_fault_corrupt(const char* function, int call) {
    State& s = state();
    const std::lock_guard lock(s.mutex);
    s.corruptions[function] = call;
}

int korvex_fault_calls(const char* function) {
    State& s = state();
    const std::lock_guard lock(s.mutex);
    return s.calls[function];
}

ISC_STATUS isc_attach_database(ISC_STATUS* status, short nameLength, const ISC_SCHAR* name,
                               isc_db_handle* database, short parameterLength,
                               const ISC_SCHAR* parameters) {
    return Forward<decltype(&isc_attach_database)>("isc_attach_database", status, nameLength, name,
                                                   database, parameterLength, parameters);
}

ISC_STATUS isc_detach_database(ISC_STATUS* status, isc_db_handle* database) {
    return Forward<decltype(&isc_detach_database)>("isc_detach_database", status, database);
}

ISC_STATUS isc_database_info(ISC_STATUS* status, isc_db_handle* database, short itemsLength,
                             const ISC_SCHAR* items, short answerLength, ISC_SCHAR* answer) {
    return Forward<decltype(&isc_database_info)>("isc_database_info", status, database, itemsLength,
                                                 items, answerLength, answer);
}

ISC_STATUS isc_start_transaction(ISC_STATUS* status, isc_tr_handle* transaction, short count, ...) {
    std::vector<TransactionElement> elements(count);
    va_list args;
    va_start(args, count);
    for (TransactionElement& element : elements) {
        element.database = va_arg(args, isc_db_handle*);
        element.parameterLength = va_arg(args, int);
        element.parameters = va_arg(args, const char*);
    }
    va_end(args);
    if (const ISC_STATUS code = Injected("isc_start_transaction"))
        return Refuse(status, code);
    return Real<decltype(&isc_start_multiple)>("isc_start_multiple")(status, transaction, count,
                                                                     elements.data());
}

ISC_STATUS isc_commit_transaction(ISC_STATUS* status, isc_tr_handle* transaction) {
    return Forward<decltype(&isc_commit_transaction)>("isc_commit_transaction", status,
                                                      transaction);
}

ISC_STATUS isc_rollback_transaction(ISC_STATUS* status, isc_tr_handle* transaction) {
    return Forward<decltype(&isc_rollback_transaction)>("isc_rollback_transaction", status,
                                                        transaction);
}

ISC_STATUS isc_commit_retaining(ISC_STATUS* status, isc_tr_handle* transaction) {
    return Forward<decltype(&isc_commit_retaining)>("isc_commit_retaining", status, transaction);
}

ISC_STATUS isc_rollback_retaining(ISC_STATUS* status, isc_tr_handle* transaction) {
    return Forward<decltype(&isc_rollback_retaining)>("isc_rollback_retaining", status,
                                                      transaction);
}

ISC_STATUS isc_dsql_allocate_statement(ISC_STATUS* status, isc_db_handle* database,
                                       isc_stmt_handle* statement) {
    return Forward<decltype(&isc_dsql_allocate_statement)>("isc_dsql_allocate_statement", status,
                                                           database, statement);
}

ISC_STATUS isc_dsql_prepare(ISC_STATUS* status, isc_tr_handle* transaction,
                            isc_stmt_handle* statement, unsigned short length,
                            const ISC_SCHAR* text, unsigned short dialect, XSQLDA* output) {
    return Forward<decltype(&isc_dsql_prepare)>("isc_dsql_prepare", status, transaction, statement,
                                                length, text, dialect, output);
}

ISC_STATUS isc_dsql_describe(ISC_STATUS* status, isc_stmt_handle* statement, unsigned short version,
                             XSQLDA* sqlda) {
    return Forward<decltype(&isc_dsql_describe)>("isc_dsql_describe", status, statement, version,
                                                 sqlda);
}

ISC_STATUS isc_dsql_describe_bind(ISC_STATUS* status, isc_stmt_handle* statement,
                                  unsigned short version, XSQLDA* sqlda) {
    return Forward<decltype(&isc_dsql_describe_bind)>("isc_dsql_describe_bind", status, statement,
                                                      version, sqlda);
}

ISC_STATUS isc_dsql_execute(ISC_STATUS* status, isc_tr_handle* transaction,
                            isc_stmt_handle* statement, unsigned short version,
                            const XSQLDA* input) {
    return Forward<decltype(&isc_dsql_execute)>("isc_dsql_execute", status, transaction, statement,
                                                version, input);
}

ISC_STATUS isc_dsql_exec_immed2(ISC_STATUS* status, isc_db_handle* database,
                                isc_tr_handle* transaction, unsigned short length,
                                const ISC_SCHAR* statement, unsigned short dialect,
                                const XSQLDA* input, const XSQLDA* output) {
    return Forward<decltype(&isc_dsql_exec_immed2)>("isc_dsql_exec_immed2", status, database,
                                                    transaction, length, statement, dialect, input,
                                                    output);
}

ISC_STATUS isc_dsql_fetch(ISC_STATUS* status, isc_stmt_handle* statement, unsigned short version,
                          const XSQLDA* output) {
    return Forward<decltype(&isc_dsql_fetch)>("isc_dsql_fetch", status, statement, version, output);
}

ISC_STATUS isc_dsql_free_statement(ISC_STATUS* status, isc_stmt_handle* statement,
                                   unsigned short option) {
    return Forward<decltype(&isc_dsql_free_statement)>("isc_dsql_free_statement", status, statement,
                                                       option);
}

ISC_STATUS isc_dsql_sql_info(ISC_STATUS* status, isc_stmt_handle* statement, short itemsLength,
                             const ISC_SCHAR* items, short answerLength, ISC_SCHAR* answer) {
    return Forward<decltype(&isc_dsql_sql_info)>("isc_dsql_sql_info", status, statement,
                                                 itemsLength, items, answerLength, answer);
}

ISC_STATUS isc_create_blob2(ISC_STATUS* status, isc_db_handle* database, isc_tr_handle* transaction,
                            isc_blob_handle* blob, ISC_QUAD* id, short parameterLength,
                            const ISC_SCHAR* parameters) {
    return Forward<decltype(&isc_create_blob2)>("isc_create_blob2", status, database, transaction,
                                                blob, id, parameterLength, parameters);
}

ISC_STATUS isc_open_blob2(ISC_STATUS* status, isc_db_handle* database, isc_tr_handle* transaction,
                          isc_blob_handle* blob, ISC_QUAD* id, ISC_USHORT parameterLength,
                          const ISC_UCHAR* parameters) {
    return Forward<decltype(&isc_open_blob2)>("isc_open_blob2", status, database, transaction, blob,
                                              id, parameterLength, parameters);
}

ISC_STATUS isc_blob_info(ISC_STATUS* status, isc_blob_handle* blob, short itemsLength,
                         const ISC_SCHAR* items, short answerLength, ISC_SCHAR* answer) {
    return Forward<decltype(&isc_blob_info)>("isc_blob_info", status, blob, itemsLength, items,
                                             answerLength, answer);
}

ISC_STATUS isc_get_segment(ISC_STATUS* status, isc_blob_handle* blob, unsigned short* length,
                           unsigned short bufferLength, ISC_SCHAR* buffer) {
    const ISC_STATUS result = Forward<decltype(&isc_get_segment)>("isc_get_segment", status, blob,
                                                                  length, bufferLength, buffer);
    if ((result == 0 || result == isc_segment) && *length > 0 &&
        CorruptsLastCall("isc_get_segment"))
        buffer[0] = static_cast<ISC_SCHAR>(buffer[0] ^ 0x01);
    return result;
}

ISC_STATUS isc_put_segment(ISC_STATUS* status, isc_blob_handle* blob, unsigned short length,
                           const ISC_SCHAR* bytes) {
    return Forward<decltype(&isc_put_segment)>("isc_put_segment", status, blob, length, bytes);
}

ISC_STATUS isc_close_blob(ISC_STATUS* status, isc_blob_handle* blob) {
    return Forward<decltype(&isc_close_blob)>("isc_close_blob", status, blob);
}

ISC_STATUS isc_cancel_blob(ISC_STATUS* status, isc_blob_handle* blob) {
    return Forward<decltype(&isc_cancel_blob)>("isc_cancel_blob", status, blob);
}

ISC_LONG isc_sqlcode(const ISC_STATUS* status) {
    return Real<decltype(&isc_sqlcode)>("isc_sqlcode")(status);
}

ISC_STATUS fb_cancel_operation(ISC_STATUS* status, isc_db_handle* database, ISC_USHORT option) {
    return Forward<decltype(&fb_cancel_operation)>("fb_cancel_operation", status, database, option);
}

ISC_LONG fb_interpret(ISC_SCHAR* buffer, unsigned int length, const ISC_STATUS** status) {
    return Real<decltype(&fb_interpret)>("fb_interpret")(buffer, length, status);
}

} // extern "C"
