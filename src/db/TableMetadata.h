#pragma once

#include <QString>
#include <QStringList>

namespace db {

class Database;

// Which columns of one table the server fills in by itself on an update.
struct TableMetadata {
    QStringList computed;
    QStringList defaulted; // a default at column or domain level

    bool fillsColumns() const { return !computed.isEmpty() || !defaulted.isEmpty(); }
};

// Reads the system tables in a short read-only, read-committed transaction of its own, committed
// as soon as the read ends, so the caller's transaction never holds the metadata.
TableMetadata ReadTableMetadata(Database& database, const QString& table);

} // namespace db
