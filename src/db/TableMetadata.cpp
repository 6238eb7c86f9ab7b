#include "TableMetadata.h"

#include "Statement.h"
#include "Transaction.h"

namespace db {
namespace {

const QString MetadataSQL =
    QStringLiteral("select RF.RDB$FIELD_NAME, F.RDB$COMPUTED_BLR, RF.RDB$DEFAULT_SOURCE,\r\n"
                   "  F.RDB$DEFAULT_SOURCE\r\n"
                   "from RDB$RELATION_FIELDS RF\r\n"
                   "  join RDB$FIELDS F on F.RDB$FIELD_NAME = RF.RDB$FIELD_SOURCE\r\n"
                   "where RF.RDB$RELATION_NAME = :RELATION\r\n");

const char ReadOnlyReadCommitted[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed,
                                      isc_tpb_rec_version};

} // namespace

TableMetadata ReadTableMetadata(Database& database, const QString& table) {
    Transaction transaction(database,
                            QByteArray(ReadOnlyReadCommitted, sizeof ReadOnlyReadCommitted));
    transaction.StartTransaction();
    TableMetadata metadata;
    {
        Statement query(database, transaction);
        query.Prepare(MetadataSQL);
        query.SetParam(QStringLiteral("RELATION"), Value{false, table.toLocal8Bit()});
        query.Execute();
        while (query.Fetch()) {
            const std::vector<Value> row = query.Row();
            const QString column = QString::fromLocal8Bit(row[0].data).trimmed();
            if (!row[1].null)
                metadata.computed.append(column);
            if (!row[2].null || !row[3].null)
                metadata.defaulted.append(column);
        }
    }
    transaction.Commit();
    return metadata;
}

} // namespace db
