#include "RawClient.h"

#include "support/RawHandles.h"

#include <algorithm>
#include <stdexcept>

namespace bench {
namespace {

constexpr unsigned short Dialect = 1;

using fbtest::raw::Blob;
using fbtest::raw::check;
using fbtest::raw::OneVar;
using fbtest::raw::Statement;
using fbtest::raw::Transaction;

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
    short present = 0;
    OneVar in(SQL_BLOB, sizeof blobId, &blobId, &present);
    check(isc_dsql_execute_immediate(status, &db_, tr.get(), 0, sql.c_str(), Dialect, &in.sqlda),
          status, "update");
    tr.commit();
}

QByteArray RawConnection::readReport(const std::string& id) {
    Transaction tr(db_);
    Statement stmt(db_);
    const std::string sql = "select DESCR from REPORTS where ID = '" + id + "'";
    ISC_QUAD blobId{};
    short indicator = 0;
    OneVar out(SQL_BLOB, sizeof blobId, &blobId, &indicator);
    ISC_STATUS_ARRAY status;
    check(isc_dsql_prepare(status, tr.get(), stmt.get(), 0, sql.c_str(), Dialect, nullptr), status,
          "prepare select");
    check(isc_dsql_execute(status, tr.get(), stmt.get(), SQLDA_VERSION1, nullptr), status,
          "select");
    const ISC_STATUS fetched = isc_dsql_fetch(status, stmt.get(), SQLDA_VERSION1, &out.sqlda);
    if (fetched == 100)
        throw std::runtime_error("baseline: no row " + id);
    check(fetched, status, "fetch");
    if (indicator < 0)
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
