#include "ReportsTable.h"

#include "db/Error.h"

#include <iberror.h>

namespace dbstore::reports {
namespace {

db::TypedValue KeyValue(const QString& reportId) {
    return {SQL_TEXT, {false, reportId.toLocal8Bit()}};
}

} // namespace

db::ColumnInfo TextColumn(short length) {
    return {{}, {}, SQL_VARYING, 0, length};
}

db::ColumnInfo BlobColumn() {
    return {{}, {}, SQL_BLOB, 0, sizeof(ISC_QUAD)};
}

std::optional<std::vector<db::Value>> SelectRow(db::Database& database,
                                                db::Transaction& transaction,
                                                const QString& reportId, const QString& columns,
                                                const std::vector<db::ColumnInfo>& types) {
    try {
        return db::ExecuteImmediate(
            database, transaction,
            QStringLiteral("select %1 from %2 where %3 = ?").arg(columns, Table, Key),
            {KeyValue(reportId)}, types);
    } catch (const db::ServerError& error) {
        if (error.hasCode(isc_stream_eof))
            return std::nullopt;
        throw;
    }
}

// Cast to text inside the statement: dialect 1 hands a 64-bit integer out as a double, rounded.
long RowsWithKey(db::Database& database, db::Transaction& transaction, const QString& reportId) {
    const auto row = SelectRow(database, transaction, reportId,
                               QStringLiteral("cast(count(*) as varchar(21))"), {TextColumn(21)});
    return row && !(*row)[0].null ? (*row)[0].data.trimmed().toLong() : 0;
}

// Cast to text inside the statement: dialect 1 hands a 64-bit integer out as a double, rounded.
QString FingerprintColumns() {
    return QStringLiteral("cast(octet_length(%1) as varchar(21)), cast(hash(%1) as varchar(21))")
        .arg(Content);
}

std::vector<db::ColumnInfo> FingerprintTypes() {
    return {TextColumn(21), TextColumn(21)};
}

QString SelectAll() {
    return QStringLiteral("select %1, %2 from %3").arg(Key, Content, Table);
}

std::vector<db::Value> UpdateContent(db::Database& database, db::Transaction& transaction,
                                     const QString& reportId, const db::Value& content,
                                     const QString& returning,
                                     const std::vector<db::ColumnInfo>& types) {
    return db::ExecuteImmediate(database, transaction,
                                QStringLiteral("update %1 set %2 = ? where %3 = ? returning %4")
                                    .arg(Table, Content, Key, returning),
                                {{SQL_BLOB, content}, KeyValue(reportId)}, types);
}

} // namespace dbstore::reports
