#include "RawClient.h"

#include <algorithm>
#include <stdexcept>

namespace bench {
namespace {

constexpr unsigned short Dialect = 1;

void check(ISC_STATUS result, const ISC_STATUS* status, const char* what) {
    if (!result)
        return;
    std::string text = std::string("baseline: ") + what;
    char line[1024];
    const ISC_STATUS* cursor = status;
    while (fb_interpret(line, sizeof line, &cursor) > 0)
        text += std::string("\n") + line;
    throw std::runtime_error(text);
}

// Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(isc_db_handle& db) {
        ISC_STATUS_ARRAY status;
        check(isc_start_transaction(status, &handle_, 1, &db, 0, nullptr), status,
              "start transaction");
    }
    ~Transaction() {
        if (!handle_)
            return;
        ISC_STATUS_ARRAY status;
        isc_rollback_transaction(status, &handle_);
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

// Cancelled unless closed: a partly written BLOB never survives.
class Blob {
public:
    Blob() = default;
    ~Blob() {
        if (!handle_)
            return;
        ISC_STATUS_ARRAY status;
        isc_cancel_blob(status, &handle_);
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

// One nullable BLOB variable pointing at caller-owned storage.
struct BlobVar {
    explicit BlobVar(ISC_QUAD& id) {
        sqlda.version = SQLDA_VERSION1;
        sqlda.sqln = sqlda.sqld = 1;
        XSQLVAR& var = sqlda.sqlvar[0];
        var.sqltype = SQL_BLOB + 1;
        var.sqllen = sizeof id;
        var.sqldata = reinterpret_cast<char*>(&id);
        var.sqlind = &indicator;
    }
    BlobVar(const BlobVar&) = delete;
    BlobVar& operator=(const BlobVar&) = delete;

    XSQLDA sqlda{};
    short indicator = 0;
};

QByteArray attachBlock(const std::string& user, const std::string& password) {
    QByteArray block(1, static_cast<char>(isc_dpb_version1));
    for (const auto& [item, value] :
         {std::pair{isc_dpb_user_name, &user}, {isc_dpb_password, &password}}) {
        block += static_cast<char>(item);
        block += static_cast<char>(value->size());
        block += QByteArray::fromStdString(*value);
    }
    return block;
}

qsizetype totalLength(isc_blob_handle* blob) {
    const char item = isc_info_blob_total_length;
    char answer[32];
    ISC_STATUS_ARRAY status;
    check(isc_blob_info(status, blob, 1, &item, sizeof answer, answer), status, "BLOB info");
    if (answer[0] != item)
        throw std::runtime_error("baseline: the server did not report the BLOB's length");
    const short length = static_cast<short>(isc_vax_integer(answer + 1, 2));
    return isc_vax_integer(answer + 3, length);
}

} // namespace

RawConnection::RawConnection(const std::string& target, const std::string& user,
                             const std::string& password) {
    const QByteArray block = attachBlock(user, password);
    ISC_STATUS_ARRAY status;
    check(isc_attach_database(status, 0, target.c_str(), &db_, static_cast<short>(block.size()),
                              block.constData()),
          status, "attach");
}

RawConnection::~RawConnection() {
    ISC_STATUS_ARRAY status;
    isc_detach_database(status, &db_);
}

void RawConnection::writeReport(const std::string& id, const QByteArray& content) {
    Transaction tr(db_);
    ISC_STATUS_ARRAY status;
    ISC_QUAD blobId{};
    Blob blob;
    check(isc_create_blob2(status, &db_, tr.get(), blob.get(), &blobId, 0, nullptr), status,
          "create BLOB");
    for (qsizetype at = 0; at < content.size(); at += MaxSegmentSize) {
        const auto length =
            static_cast<unsigned short>(std::min<qsizetype>(MaxSegmentSize, content.size() - at));
        check(isc_put_segment(status, blob.get(), length, content.constData() + at), status,
              "write BLOB");
    }
    blob.close();
    const std::string sql = "update REPORTS set DESCR = ? where ID = '" + id + "'";
    BlobVar in(blobId);
    check(isc_dsql_execute_immediate(status, &db_, tr.get(), 0, sql.c_str(), Dialect, &in.sqlda),
          status, "update");
    tr.commit();
}

QByteArray RawConnection::readReport(const std::string& id) {
    Transaction tr(db_);
    Statement stmt(db_);
    const std::string sql = "select DESCR from REPORTS where ID = '" + id + "'";
    ISC_QUAD blobId{};
    BlobVar out(blobId);
    ISC_STATUS_ARRAY status;
    check(isc_dsql_prepare(status, tr.get(), stmt.get(), 0, sql.c_str(), Dialect, nullptr), status,
          "prepare select");
    check(isc_dsql_execute(status, tr.get(), stmt.get(), SQLDA_VERSION1, nullptr), status,
          "select");
    const ISC_STATUS fetched = isc_dsql_fetch(status, stmt.get(), SQLDA_VERSION1, &out.sqlda);
    if (fetched == 100)
        throw std::runtime_error("baseline: no row " + id);
    check(fetched, status, "fetch");
    if (out.indicator < 0)
        throw std::runtime_error("baseline: no content stored for " + id);

    Blob blob;
    check(isc_open_blob2(status, &db_, tr.get(), blob.get(), &blobId, 0, nullptr), status,
          "open BLOB");
    QByteArray content(totalLength(blob.get()), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < content.size()) {
        const auto max =
            static_cast<unsigned short>(std::min<qsizetype>(MaxSegmentSize, content.size() - done));
        unsigned short got = 0;
        const ISC_STATUS result =
            isc_get_segment(status, blob.get(), &got, max, content.data() + done);
        if (result == isc_segstr_eof)
            break;
        if (result != isc_segment)
            check(result, status, "read BLOB");
        done += got;
    }
    content.truncate(done);
    blob.close();
    tr.commit();
    return content;
}

} // namespace bench
