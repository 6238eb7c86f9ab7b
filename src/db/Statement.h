#pragma once

#include "Client.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace db {

class Database;
class Transaction;

// What the server describes of one output column or input parameter.
struct ColumnInfo {
    QString name;      // alias name for columns, empty for parameters
    QString relation;  // table name, empty when unknown
    short sqlType = 0; // SQL_TEXT, SQL_VARYING, SQL_BLOB, ... without the nullable bit
    short subType = 0;
    short length = 0; // data length in bytes (for text: the declared byte length)
    bool nullable = true;
};

// One value as it travels to or from the server. For text the bytes as stored (a CHAR column
// padded), for a BLOB its 8-byte id, for other types the raw data area. A NULL read from a row
// still carries what the client library left in the data area (for a BLOB: 8 id bytes).
struct Value {
    bool null = true;
    QByteArray data;
};

// A parameter of a statement run without a prepare of its own: its type is the caller's, not
// the server's description. Text travels as fixed-length text of its exact length, any other
// type as its raw data area (a BLOB its 8-byte id).
struct TypedValue {
    short sqlType = SQL_TEXT;
    Value value;
};

// Prepares and executes the text in the transaction in one exchange with the server, with no
// statement handle, and returns its one row of results in the types and lengths the columns ask
// for (their names unused). Takes positional parameters (?) only. A select of no row raises the
// server's "attempt to fetch past the last record", of several rows "multiple rows in singleton
// select"; an update that changes none returns every value NULL.
std::vector<Value> ExecuteImmediate(Database& database, Transaction& transaction,
                                    const QString& sql, const std::vector<TypedValue>& params,
                                    const std::vector<ColumnInfo>& columns);

// A DSQL statement prepared in dialect 1 on the connection, with named parameters rewritten to
// positional ones. Owns its statement handle; freed on destruction.
class Statement {
public:
    Statement(Database& database, Transaction& transaction);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Rewrites the named parameters and prepares the text. Raises the parse error or the client
    // library's error.
    void Prepare(const QString& sql);
    bool Prepared() const;
    void Unprepare();

    const std::vector<ColumnInfo>& Columns() const;
    const std::vector<ColumnInfo>& Parameters() const;
    // The distinct parameter names, trimmed and upper-cased, in order of first appearance.
    const QStringList& ParamNames() const;
    // Sets every placeholder with this name. A text parameter takes the bytes as fixed-length text
    // of their exact length; longer than the parameter allows raises "Trying to store a string of
    // length %d into a field that can only contain %d". Any other parameter takes its raw data
    // area (a BLOB its 8-byte id) of exactly the described length. Unset parameters are NULL.
    void SetParam(const QString& name, const Value& value);

    // Executes in the transaction; a select opens its cursor.
    void Execute();
    // Fetches the next row of an open cursor; false at the end. A fetch error closes the cursor
    // and raises.
    bool Fetch();
    void CloseCursor();
    // The current row's values, in column order.
    std::vector<Value> Row() const;
    // Rows changed by the last executed update, insert or delete (not the select count); -1 for
    // other kinds of statement.
    long RowsAffected() const;

private:
    void setParam(int index, const Value& value);

    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace db
