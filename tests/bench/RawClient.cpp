#include "RawClient.h"

#include "support/RawHandles.h"

#include <QByteArray>
#include <QFile>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <vector>

namespace bench {
namespace {

constexpr unsigned short Dialect = 1;

using fbtest::raw::Blob;
using fbtest::raw::check;
using fbtest::raw::OneVar;
using fbtest::raw::Statement;
using fbtest::raw::Transaction;

QByteArray attachBlock(const std::string& user, const std::string& password, Wire wire) {
    static const std::string compressed = "WireCompression=true";
    std::vector<std::pair<int, const std::string*>> items{{isc_dpb_user_name, &user},
                                                          {isc_dpb_password, &password}};
    if (wire == Wire::Compressed)
        items.emplace_back(isc_dpb_config, &compressed);
    QByteArray block(1, static_cast<char>(isc_dpb_version1));
    for (const auto& [item, value] : items) {
        block += static_cast<char>(item);
        block += static_cast<char>(value->size());
        block += QByteArray::fromStdString(*value);
    }
    return block;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

ISC_QUAD storedBlobId(isc_tr_handle* tr, isc_stmt_handle* stmt, const std::string& id) {
    const std::string sql = "select DESCR from REPORTS where ID = '" + id + "'";
    ISC_QUAD blobId{};
    short indicator = 0;
    OneVar out(SQL_BLOB, sizeof blobId, &blobId, &indicator);
    ISC_STATUS_ARRAY status;
    check(isc_dsql_prepare(status, tr, stmt, 0, sql.c_str(), Dialect, nullptr), status,
          "prepare select");
    check(isc_dsql_execute(status, tr, stmt, SQLDA_VERSION1, nullptr), status, "select");
    const ISC_STATUS fetched = isc_dsql_fetch(status, stmt, SQLDA_VERSION1, &out.sqlda);
    if (fetched == 100)
        throw std::runtime_error("floor: no row " + id);
    check(fetched, status, "fetch");
    if (indicator < 0)
        throw std::runtime_error("floor: no content stored for " + id);
    return blobId;
}

// Hands each segment of the BLOB to the sink as it comes.
void readBlob(isc_db_handle* db, isc_tr_handle* tr, ISC_QUAD id, unsigned short segmentSize,
              const std::function<void(const char*, unsigned short)>& sink) {
    Blob blob;
    ISC_STATUS_ARRAY status;
    check(isc_open_blob2(status, db, tr, blob.get(), &id, 0, nullptr), status, "open BLOB");
    std::vector<char> segment(segmentSize);
    for (;;) {
        unsigned short got = 0;
        const ISC_STATUS result =
            isc_get_segment(status, blob.get(), &got, segmentSize, segment.data());
        if (result == isc_segstr_eof)
            break;
        if (result != isc_segment)
            check(result, status, "read BLOB");
        sink(segment.data(), got);
    }
    blob.close();
}

// The stored copy, when asked for, is written as the bytes come.
void readStored(isc_db_handle* db, isc_tr_handle* tr, ISC_QUAD id, const FloorWork& work) {
    QFile copy(work.storedCopy);
    if (!work.storedCopy.isEmpty() && !copy.open(QIODevice::WriteOnly))
        throw std::runtime_error("floor: cannot create " + work.storedCopy.toStdString());
    readBlob(db, tr, id, work.segment, [&](const char* data, unsigned short count) {
        if (copy.isOpen() && copy.write(data, count) != count)
            throw std::runtime_error("floor: cannot write " + work.storedCopy.toStdString());
    });
}

ISC_QUAD sendFile(isc_db_handle* db, isc_tr_handle* tr, const QString& path,
                  unsigned short segmentSize) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("floor: cannot open " + path.toStdString());
    ISC_STATUS_ARRAY status;
    ISC_QUAD id{};
    Blob blob;
    check(isc_create_blob2(status, db, tr, blob.get(), &id, 0, nullptr), status, "create BLOB");
    std::vector<char> segment(segmentSize);
    while (const qint64 got = file.read(segment.data(), segmentSize)) {
        if (got < 0)
            throw std::runtime_error("floor: cannot read " + path.toStdString());
        check(isc_put_segment(status, blob.get(), static_cast<unsigned short>(got), segment.data()),
              status, "write BLOB");
    }
    blob.close();
    return id;
}

} // namespace

RawConnection::RawConnection(const std::string& target, const std::string& user,
                             const std::string& password, Wire wire) {
    const QByteArray block = attachBlock(user, password, wire);
    ISC_STATUS_ARRAY status;
    check(isc_attach_database(status, 0, target.c_str(), &db_, static_cast<short>(block.size()),
                              block.constData()),
          status, "attach");
}

RawConnection::RawConnection(isc_db_handle attached) : db_(attached) {}

void RawConnection::createReportsDatabase(const std::string& target, const std::string& user,
                                          const std::string& password, const std::string& id) {
    const std::string sql = "create database '" + target + "' user '" + user + "' password '" +
                            password + "' page_size 4096";
    isc_db_handle db = 0;
    isc_tr_handle none = 0;
    ISC_STATUS_ARRAY status;
    check(isc_dsql_execute_immediate(status, &db, &none, 0, sql.c_str(), Dialect, nullptr), status,
          "create database");
    RawConnection created(db);
    created.execute("create table REPORTS (ID varchar(20) not null primary key, "
                    "DESCR blob sub_type 0)");
    created.execute("insert into REPORTS (ID, DESCR) values ('" + id + "', 'old')");
}

void RawConnection::execute(const std::string& sql) {
    Transaction tr(db_);
    ISC_STATUS_ARRAY status;
    check(isc_dsql_execute_immediate(status, &db_, tr.get(), 0, sql.c_str(), Dialect, nullptr),
          status, sql.c_str());
    tr.commit();
}

RawConnection::~RawConnection() {
    ISC_STATUS_ARRAY status;
    isc_detach_database(status, &db_);
}

FloorTimes RawConnection::replaceReport(const std::string& id, const QString& templatePath,
                                        const FloorWork& work) {
    FloorTimes times;
    auto start = std::chrono::steady_clock::now();
    Transaction tr(db_);
    {
        Statement stmt(db_);
        readStored(&db_, tr.get(), storedBlobId(tr.get(), stmt.get(), id), work);
    }
    times.storedRead = secondsSince(start);

    start = std::chrono::steady_clock::now();
    ISC_QUAD blobId = sendFile(&db_, tr.get(), templatePath, work.segment);
    const std::string sql = "update REPORTS set DESCR = ? where ID = '" + id + "'";
    short present = 0;
    OneVar in(SQL_BLOB, sizeof blobId, &blobId, &present);
    ISC_STATUS_ARRAY status;
    check(isc_dsql_execute_immediate(status, &db_, tr.get(), 0, sql.c_str(), Dialect, &in.sqlda),
          status, "update");
    tr.commit();
    times.sendAndCommit = secondsSince(start);
    return times;
}

QByteArray RawConnection::storedReport(const std::string& id) {
    Transaction tr(db_);
    Statement stmt(db_);
    QByteArray stored;
    readBlob(&db_, tr.get(), storedBlobId(tr.get(), stmt.get(), id), db::LargestBlobSegment,
             [&](const char* data, unsigned short count) { stored.append(data, count); });
    return stored;
}

} // namespace bench
