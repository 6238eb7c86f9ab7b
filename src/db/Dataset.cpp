#include "Dataset.h"

#include "Blob.h"
#include "Database.h"
#include "Error.h"
#include "RowCache.h"
#include "Statement.h"
#include "TableMetadata.h"
#include "Transaction.h"

#include <cstring>
#include <optional>

namespace db {
namespace {

const QString OldPrefix = QStringLiteral("OLD_");
const QString NewPrefix = QStringLiteral("NEW_");

QString StatementText(const QStringList& lines) {
    QString text;
    for (const QString& line : lines)
        text += line + QStringLiteral("\r\n");
    return text;
}

bool IsText(const ColumnInfo& column) {
    return column.sqlType == SQL_TEXT || column.sqlType == SQL_VARYING;
}

QByteArray IdBytes(const ISC_QUAD& id) {
    return QByteArray(reinterpret_cast<const char*>(&id), sizeof id);
}

ISC_QUAD QuadOf(const QByteArray& bytes) {
    ISC_QUAD id{};
    std::memcpy(&id, bytes.constData(), sizeof id);
    return id;
}

class HolderReader final : public ContentReader {
public:
    explicit HolderReader(HolderRef holder) : holder_(std::move(holder)) {}
    qint64 size() const override { return holder_->content.size(); }
    qint64 read(char* buffer, qint64 max) override {
        const qint64 count = std::min(max, size() - position_);
        if (count <= 0)
            return 0;
        std::memcpy(buffer, holder_->content.constData() + position_, count);
        position_ += count;
        return count;
    }

private:
    HolderRef holder_;
    qint64 position_ = 0;
};

// Everything that exists only while the dataset is open.
struct Session {
    std::unique_ptr<Statement> select, deleter, inserter, modifier, refresher;
    std::vector<ColumnInfo> columns;
    QString table;              // of the first column that names one
    std::vector<bool> required; // NOT NULL, no default, not computed
    bool refreshAfterPost = false;
    bool modifyRefused = false; // the user may not update the table

    RowCache rows;
    bool cursorOpen = false;
    int current = -1;

    Dataset::State state = Dataset::State::Browse;
    Row preEdit;
    std::vector<bool> written; // per column, in the current edit
    struct LastPost {
        int row;
        Row before;
    };
    std::optional<LastPost> lastPost;

    // Rows come from the cursor one at a time, and only when a move passes the last row held.
    bool fetchNext() {
        if (!cursorOpen)
            return false;
        cursorOpen = false; // a failing fetch has closed the cursor
        if (!select->Fetch()) {
            select->CloseCursor();
            return false;
        }
        cursorOpen = true;
        rows.append(select->Row());
        return true;
    }
    bool reach(int index) {
        while (index >= rows.size())
            if (!fetchNext())
                return false;
        return true;
    }
};

} // namespace

struct Dataset::Impl {
    Impl(Dataset& owner, Database& database, Transaction& transaction)
        : owner(owner), database(database), transaction(transaction) {}

    Dataset& owner;
    Database& database;
    Transaction& transaction;
    std::unique_ptr<Session> session;
    // A lost connection closes the dataset from inside one of its own statement calls; the
    // closed session is kept until that call has unwound.
    std::unique_ptr<Session> retired;
    int busy = 0;
    unsigned editSerial = 0;

    class Busy {
    public:
        explicit Busy(Impl& impl) : impl_(impl) { ++impl_.busy; }
        ~Busy() {
            if (--impl_.busy == 0)
                impl_.retired.reset();
        }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        Impl& impl_;
    };

    class Writer final : public ContentWriter {
    public:
        Writer(Impl& impl, int column, HolderRef holder)
            : impl_(impl), column_(column), holder_(std::move(holder)),
              serial_(holder_ ? impl.editSerial : 0) {}
        ~Writer() override { close(); }
        void write(const char* data, qint64 count) override {
            if (!impl_.editing(serial_))
                throw Error("Not in edit mode");
            if (count <= 0)
                return;
            CheckContentSize(holder_->content.size() + count);
            holder_->content.append(data, static_cast<qsizetype>(count));
            holder_->modified = true;
            written_ = true;
        }
        void reserve(qint64 size) override {
            if (!impl_.editing(serial_))
                throw Error("Not in edit mode");
            CheckContentSize(size);
            holder_->content.reserve(static_cast<qsizetype>(size));
        }
        void close() override {
            if (written_ && impl_.editing(serial_))
                impl_.session->written[column_] = true;
            written_ = false;
        }

    private:
        Impl& impl_;
        const int column_;
        const HolderRef holder_;
        const unsigned serial_;
        bool written_ = false;
    };

    [[noreturn]] void fail(const QString& text) const {
        throw Error((owner.Name + QStringLiteral(": ") + text).toStdString());
    }

    Session& open() const {
        if (!session)
            fail(QStringLiteral("Cannot perform this operation on a closed dataset"));
        return *session;
    }
    Row& currentRow() const {
        Session& s = open();
        if (s.current < 0)
            fail(QStringLiteral("Cannot perform this operation on an empty dataset"));
        return s.rows[s.current];
    }
    bool editing(unsigned serial) const {
        return session && session->state == State::Edit && serial == editSerial;
    }

    int findColumn(const QString& field) const {
        const std::vector<ColumnInfo>& columns = open().columns;
        for (size_t i = 0; i < columns.size(); ++i)
            if (columns[i].name.compare(field, Qt::CaseInsensitive) == 0)
                return static_cast<int>(i);
        return -1;
    }
    int column(const QString& field) const {
        const int index = findColumn(field);
        if (index < 0)
            fail(QStringLiteral("Field '%1' not found").arg(field));
        return index;
    }
    int blobColumn(const QString& field) const {
        const int index = column(field);
        if (session->columns[index].sqlType != SQL_BLOB)
            fail(QStringLiteral("Field '%1' is not a BLOB field").arg(field));
        return index;
    }
    QString text(int column, const Value& value) const {
        if (value.null)
            return {};
        if (!IsText(session->columns[column]))
            fail(QStringLiteral("Field '%1' is not a text field")
                     .arg(session->columns[column].name));
        return QString::fromLocal8Bit(value.data);
    }

    // Opening

    std::unique_ptr<Statement> prepare(const QStringList& lines) {
        auto statement = std::make_unique<Statement>(database, transaction);
        statement->Prepare(StatementText(lines));
        return statement;
    }
    // A blank row statement is skipped; one the user may not run is just unavailable, and said
    // so when it is needed.
    std::unique_ptr<Statement> prepareRowStatement(const QStringList& lines,
                                                   bool* refused = nullptr) {
        if (StatementText(lines).trimmed().isEmpty())
            return nullptr;
        try {
            return prepare(lines);
        } catch (const ServerError& error) {
            if (error.sqlCode() != -551)
                throw;
            if (refused)
                *refused = true;
            return nullptr;
        }
    }
    std::unique_ptr<Session> openSession() {
        auto s = std::make_unique<Session>();
        s->select = prepare(owner.SelectSQL);
        s->deleter = prepareRowStatement(owner.DeleteSQL);
        s->inserter = prepareRowStatement(owner.InsertSQL);
        s->modifier = prepareRowStatement(owner.ModifySQL, &s->modifyRefused);
        s->refresher = prepareRowStatement(owner.RefreshSQL);
        s->columns = s->select->Columns();
        readMetadata(*s);
        s->select->Execute();
        s->cursorOpen = true;
        if (s->fetchNext())
            s->current = 0;
        return s;
    }
    void readMetadata(Session& s) {
        for (const ColumnInfo& column : s.columns)
            if (s.table.isEmpty())
                s.table = column.relation;
        const TableMetadata metadata =
            s.table.isEmpty() ? TableMetadata{} : ReadTableMetadata(database, s.table);
        s.refreshAfterPost = metadata.fillsColumns();
        for (const ColumnInfo& column : s.columns)
            s.required.push_back(!column.nullable && !metadata.computed.contains(column.name) &&
                                 !metadata.defaulted.contains(column.name));
    }

    // Content holders

    HolderRef holder(Row& row, int column) {
        if (!row.holders[column]) {
            const QByteArray id = StoredId(row.values[column]);
            auto loaded = std::make_shared<ContentHolder>();
            loaded->id = id;
            if (!IsNoBlob(id))
                loaded->content = ReadBlob(transaction, QuadOf(id), owner.OnTransfer);
            row.holders[column] = std::move(loaded);
        }
        return row.holders[column];
    }

    // Editing

    bool anythingWritten() const {
        for (bool written : session->written)
            if (written)
                return true;
        return false;
    }
    void checkRequired(const Row& row) const {
        for (size_t c = 0; c < session->columns.size(); ++c) {
            const HolderRef& holder = row.holders[c];
            const bool hasValue =
                holder && holder->modified ? !holder->content.isEmpty() : !row.values[c].null;
            if (session->required[c] && !hasValue)
                fail(QStringLiteral("Field '%1' must have a value").arg(session->columns[c].name));
        }
    }
    // Only InterBase's newer on-disk structures take the column a BLOB is meant for.
    QByteArray blobParameterBlock(int column) const {
        const ColumnInfo& info = session->columns[column];
        return TargetColumnParameterBlock(database, info.relation, info.name);
    }
    // A BLOB that fails part-way is cancelled by WriteBlob, and the row keeps its old id.
    void sendContents(Row& row) {
        for (size_t c = 0; c < row.holders.size(); ++c) {
            ContentHolder* holder = row.holders[c].get();
            if (!holder || !holder->modified)
                continue;
            const ISC_QUAD id =
                WriteBlob(transaction, holder->content, blobParameterBlock(static_cast<int>(c)),
                          owner.OnTransfer);
            // Empty content is stored as NULL; the empty BLOB just created stays unreferenced.
            row.values[c] = holder->content.isEmpty() ? NullBlob() : Value{false, IdBytes(id)};
            holder->id = StoredId(row.values[c]);
            holder->modified = false;
        }
    }
    void fillParams(Statement& statement, const Row& row) const {
        for (const QString& name : statement.ParamNames()) {
            const Row* source = &row;
            QString field = name;
            if (name.startsWith(OldPrefix)) {
                source = &session->preEdit;
                field = name.mid(OldPrefix.size());
            } else if (name.startsWith(NewPrefix)) {
                field = name.mid(NewPrefix.size());
            }
            const int c = findColumn(field);
            if (c >= 0)
                statement.SetParam(name, source->values[c]);
        }
    }
    // Anything but exactly one row changed fails, so that the caller's rollback undoes it: with
    // a key that is not unique, every row sharing it would get the one row's new content.
    void update(const Row& row) {
        Statement& modifier = *session->modifier;
        fillParams(modifier, row);
        modifier.Execute();
        CheckOneRowChanged(modifier.RowsAffected(), session->table.toStdString());
    }
    // The server filled in columns of its own: take the row back as stored. Its content is read
    // again on demand.
    void refresh(Row& row) {
        if (!session->refresher)
            return;
        Statement& refresher = *session->refresher;
        fillParams(refresher, row);
        refresher.Execute();
        if (refresher.Fetch()) {
            const std::vector<Value> values = refresher.Row();
            const std::vector<ColumnInfo>& columns = refresher.Columns();
            for (size_t i = 0; i < columns.size(); ++i)
                if (const int c = findColumn(columns[i].name); c >= 0)
                    row.values[c] = values[i];
            row.holders.assign(row.holders.size(), nullptr);
        }
        refresher.CloseCursor();
    }
    void endPendingEdit() {
        if (session->state != State::Edit)
            return;
        if (anythingWritten())
            owner.Post();
        else
            owner.Cancel();
    }
};

Dataset::Dataset(Database& database, Transaction& transaction, QString name)
    : Name(std::move(name)), d(std::make_unique<Impl>(*this, database, transaction)) {
    d->database.attach(*this);
}

Dataset::~Dataset() {
    Close();
    d->database.detach(*this);
}

void Dataset::Open() {
    if (d->session)
        return;
    Impl::Busy busy(*d);
    if (!d->database.Connected())
        d->database.Open();
    if (!d->transaction.Active())
        d->transaction.StartTransaction();
    d->session = d->openSession();
}

void Dataset::Close() {
    d->retired = std::move(d->session);
    if (d->busy == 0)
        d->retired.reset();
}

bool Dataset::Active() const {
    return d->session != nullptr;
}

Dataset::State Dataset::state() const {
    return d->session ? d->session->state : State::Inactive;
}

int Dataset::RecordCount() const {
    return d->session ? d->session->rows.size() : 0;
}

bool Dataset::Locate(const QString& field, const QString& value) {
    Impl::Busy busy(*d);
    const int c = d->column(field);
    d->endPendingEdit();
    Session& s = *d->session;
    for (int i = 0; s.reach(i); ++i) {
        const Value& id = s.rows[i].values[c];
        if (!id.null && d->text(c, id) == value) {
            s.current = i;
            return true;
        }
    }
    return false;
}

bool Dataset::MoveTo(int row) {
    Impl::Busy busy(*d);
    d->open();
    d->endPendingEdit();
    Session& s = *d->session;
    if (row < 0 || !s.reach(row))
        return false;
    s.current = row;
    return true;
}

bool Dataset::FieldIsNull(const QString& field) const {
    return d->currentRow().values[d->column(field)].null;
}

QString Dataset::FieldAsString(const QString& field) const {
    const int c = d->column(field);
    return d->text(c, d->currentRow().values[c]);
}

std::unique_ptr<ContentReader> Dataset::CreateContentReader(const QString& field) {
    Impl::Busy busy(*d);
    const int c = d->blobColumn(field);
    return std::make_unique<HolderReader>(d->holder(d->currentRow(), c));
}

std::unique_ptr<ContentWriter> Dataset::CreateContentWriter(const QString& field) {
    const int c = d->blobColumn(field);
    Row& row = d->currentRow();
    if (d->session->state != State::Edit)
        return std::make_unique<Impl::Writer>(*d, c, nullptr);
    // A fresh holder. The stored content is let go rather than kept for Cancel, so that a large
    // layout is never held twice; Cancel reads it again from the stored BLOB.
    d->session->preEdit.holders[c].reset();
    auto replaced = std::make_shared<ContentHolder>();
    replaced->id = StoredId(row.values[c]);
    replaced->modified = true;
    row.holders[c] = replaced;
    return std::make_unique<Impl::Writer>(*d, c, std::move(replaced));
}

void Dataset::StreamStoredContent(const QString& field,
                                  const std::function<void(const char*, qint64)>& sink) {
    Impl::Busy busy(*d);
    const int c = d->blobColumn(field);
    const QByteArray id = StoredId(d->currentRow().values[c]);
    if (!IsNoBlob(id))
        StreamBlob(d->transaction, QuadOf(id), sink, OnTransfer);
}

void Dataset::Edit() {
    Session& s = d->open();
    if (s.state == State::Edit)
        return;
    const Row& row = d->currentRow();
    if (s.modifyRefused)
        d->fail(QStringLiteral("Cannot modify the report list: the user lacks UPDATE permission on "
                               "table %1")
                    .arg(s.table));
    if (!s.modifier && !s.inserter && !s.deleter)
        d->fail(QStringLiteral("Cannot modify a read-only dataset"));
    if (!s.modifier)
        throw Error("Cannot update. (No update query)");
    if (!d->transaction.Active())
        d->transaction.StartTransaction();
    s.preEdit = row;
    s.written.assign(s.columns.size(), false);
    s.lastPost.reset();
    ++d->editSerial;
    s.state = State::Edit;
}

void Dataset::Post() {
    Impl::Busy busy(*d);
    Session& s = d->open();
    if (s.state != State::Edit)
        return;
    Row& row = s.rows[s.current];
    d->checkRequired(row);
    d->sendContents(row);
    d->update(row);
    if (s.refreshAfterPost)
        d->refresh(row);
    s.lastPost = Session::LastPost{s.current, s.preEdit};
    s.state = State::Browse;
}

void Dataset::Cancel() {
    if (state() != State::Edit)
        return;
    Session& s = *d->session;
    Row& row = s.rows[s.current];
    row = s.preEdit;
    DropStaleHolders(row);
    s.state = State::Browse;
}

void Dataset::RevertLastPost() {
    if (!d->session || !d->session->lastPost)
        return;
    Session& s = *d->session;
    Row& row = s.rows[s.lastPost->row];
    row = s.lastPost->before;
    row.holders.assign(row.holders.size(), nullptr);
    s.lastPost.reset();
}

} // namespace db
