#pragma once

// Owning wrappers over the raw client API for the test bed's own connections, which must stay
// independent of the database layer under test. Failures throw std::runtime_error carrying the
// client library's message lines.

#include <ibase.h>
#include <stdexcept>
#include <string>

namespace fbtest::raw {

inline std::string messageOf(const ISC_STATUS* status) {
    std::string text;
    char line[1024];
    const ISC_STATUS* cursor = status;
    while (fb_interpret(line, sizeof line, &cursor) > 0) {
        if (!text.empty())
            text += '\n';
        text += line;
    }
    return text;
}

inline void check(ISC_STATUS result, const ISC_STATUS* status, const char* what) {
    if (result)
        throw std::runtime_error(std::string("fbtest: ") + what + ": " + messageOf(status));
}

// One transaction, rolled back unless committed.
class Transaction {
public:
    explicit Transaction(isc_db_handle& db) {
        ISC_STATUS_ARRAY status;
        check(isc_start_transaction(status, &handle_, 1, &db, 0, nullptr), status,
              "start transaction");
    }
    ~Transaction() {
        if (handle_) {
            ISC_STATUS_ARRAY status;
            isc_rollback_transaction(status, &handle_);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    isc_tr_handle* get() { return &handle_; }
    void commit() {
        ISC_STATUS_ARRAY status;
        check(isc_commit_transaction(status, &handle_), status, "commit");
    }

private:
    isc_tr_handle handle_ = 0;
};

class Statement {
public:
    explicit Statement(isc_db_handle& db) {
        ISC_STATUS_ARRAY status;
        check(isc_dsql_allocate_statement(status, &db, &handle_), status, "allocate statement");
    }
    ~Statement() {
        ISC_STATUS_ARRAY status;
        isc_dsql_free_statement(status, &handle_, DSQL_drop);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    isc_stmt_handle* get() { return &handle_; }

private:
    isc_stmt_handle handle_ = 0;
};

class Blob {
public:
    Blob() = default;
    ~Blob() {
        if (handle_) {
            ISC_STATUS_ARRAY status;
            isc_cancel_blob(status, &handle_);
        }
    }
    Blob(const Blob&) = delete;
    Blob& operator=(const Blob&) = delete;

    isc_blob_handle* get() { return &handle_; }
    void close() {
        ISC_STATUS_ARRAY status;
        check(isc_close_blob(status, &handle_), status, "close BLOB");
    }

private:
    isc_blob_handle handle_ = 0;
};

// An XSQLDA of one variable pointing at caller-owned storage.
struct OneVar {
    OneVar(short type, short length, void* data, short* indicator) {
        sqlda.version = SQLDA_VERSION1;
        sqlda.sqln = sqlda.sqld = 1;
        XSQLVAR& var = sqlda.sqlvar[0];
        var.sqltype = static_cast<short>(type | 1);
        var.sqllen = length;
        var.sqldata = static_cast<char*>(data);
        var.sqlind = indicator;
    }
    XSQLDA sqlda{};
};

} // namespace fbtest::raw
