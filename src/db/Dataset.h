#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <functional>
#include <memory>

namespace db {

class Database;
class Transaction;
class Dataset;

// Reads the current row's content of a BLOB column from its in-memory holder, from byte 0.
class ContentReader {
public:
    virtual ~ContentReader() = default;
    virtual qint64 size() const = 0;
    // Copies up to max bytes into buffer; returns how many, 0 at the end.
    virtual qint64 read(char* buffer, qint64 max) = 0;
};

// Replaces the current row's content of a BLOB column: opening it empties the content in memory,
// each write appends. Closing it (or destroying it) marks the column changed if anything was
// written. Writes outside edit mode fail with "Not in edit mode".
class ContentWriter {
public:
    virtual ~ContentWriter() = default;
    virtual void write(const char* data, qint64 count) = 0;
    // Makes room for this much content at once, so that it is never copied to grow.
    virtual void reserve(qint64 size) = 0;
    virtual void close() = 0;
};

// The report list (IBReports): a bidirectional, row-caching dataset over one select, with prepared
// row statements applied at once. Its own errors carry the prefix "<Name>: " where the component
// layer puts one.
class Dataset {
public:
    enum class State { Inactive, Browse, Edit };

    Dataset(Database& database, Transaction& transaction, QString name);
    ~Dataset(); // closes
    Dataset(const Dataset&) = delete;
    Dataset& operator=(const Dataset&) = delete;

    const QString Name;
    // Each statement is kept as lines; its text is every line followed by CR LF.
    QStringList SelectSQL, RefreshSQL, ModifySQL, InsertSQL, DeleteSQL;

    // Connects if needed, starts the transaction if needed, prepares the statements, reads the
    // column metadata, executes the select and fetches the first row.
    void Open();
    // Does nothing when closed.
    void Close();
    bool Active() const;
    State state() const;

    // Told the bytes moved so far and the whole length after every BLOB segment this list reads
    // or writes. It may throw to stop the transfer, which then fails as on any error.
    std::function<void(qint64 done, qint64 total)> OnTransfer;

    // Rows fetched so far; the cursor is read only as far as a move needs.
    int RecordCount() const;
    bool Locate(const QString& field, const QString& value);
    // Makes the row at this position (from 0, in server order) current, fetching as far as needed.
    // False, with the current row unchanged, when there are fewer rows. A pending edit is ended
    // first, as by Locate.
    bool MoveTo(int row);

    bool FieldIsNull(const QString& field) const;
    QString FieldAsString(const QString& field) const;

    std::unique_ptr<ContentReader> CreateContentReader(const QString& field);
    std::unique_ptr<ContentWriter> CreateContentWriter(const QString& field);
    // Hands the BLOB the current row refers to now to the sink, read from the server segment by
    // segment and kept nowhere: within a pending post, what the server received.
    void StreamStoredContent(const QString& field,
                             const std::function<void(const char* data, qint64 count)>& sink);

    void Edit();
    // Sends the written content and runs the update, which must change exactly one row: none
    // (deleted by another user) or several (an identifier that is not unique) fail. On any
    // failure the row stays in edit mode and whatever reached the server waits for the caller's
    // rollback.
    void Post();
    // Restores the row as it was before Edit. Nothing outside edit mode.
    void Cancel();
    // For a caller that rolled back the transaction its last Post went into: puts that row back as
    // it was before the post and drops its content holder, so the next read goes to the server.
    // No server call. Nothing when there is no post to revert.
    void RevertLastPost();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace db
