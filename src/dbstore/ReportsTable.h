#pragma once

#include "db/Statement.h"

#include <QString>
#include <optional>
#include <vector>

namespace db {
class Database;
class Transaction;
} // namespace db

// The table of layouts and the statements against it, as both stores and the commit check use
// them. Every statement goes to the server with no prepare of its own: one exchange each.
namespace dbstore::reports {

inline const QString Table = QStringLiteral("REPORTS");
inline const QString Key = QStringLiteral("ID");
inline const QString Content = QStringLiteral("DESCR");

// A result column asked for as text of up to this many bytes.
db::ColumnInfo TextColumn(short length);
// A result column asked for as a BLOB's id.
db::ColumnInfo BlobColumn();

// The report's one row in the asked columns, nullopt when no row has the identifier. Several rows
// raise the server's "multiple rows in singleton select".
std::optional<std::vector<db::Value>> SelectRow(db::Database& database,
                                                db::Transaction& transaction,
                                                const QString& reportId, const QString& columns,
                                                const std::vector<db::ColumnInfo>& types);

// How many rows have the identifier, as an update sees them.
long RowsWithKey(db::Database& database, db::Transaction& transaction, const QString& reportId);

// The content's length and server HASH(), as two columns of text to read with
// FingerprintTypes.
QString FingerprintColumns();
std::vector<db::ColumnInfo> FingerprintTypes();

// Every row's identifier and content BLOB id, for a prepared statement to fetch.
QString SelectAll();

// Sets the report's content (a BLOB id, NULL for none) and returns the row's values that the
// update's returning clause asks for, every one NULL when no row has the identifier. Several rows
// raise the server's "multiple rows in singleton select".
std::vector<db::Value> UpdateContent(db::Database& database, db::Transaction& transaction,
                                     const QString& reportId, const db::Value& content,
                                     const QString& returning,
                                     const std::vector<db::ColumnInfo>& types);

} // namespace dbstore::reports
