#include "Statement.h"

#include "Database.h"
#include "Error.h"
#include "InfoAnswer.h"
#include "SqlParams.h"
#include "Transaction.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace db {

namespace {

short baseType(const XSQLVAR& var) {
    return static_cast<short>(var.sqltype & ~1);
}

bool isText(short sqlType) {
    return sqlType == SQL_TEXT || sqlType == SQL_VARYING;
}

// The statement handle; freed on destruction. Freeing only fails when the connection is already
// gone, and then there is nothing left to free on the server.
class StatementHandle {
public:
    explicit StatementHandle(Client& client) : client_(client) {}
    ~StatementHandle() { free(DSQL_drop); }
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;

    isc_stmt_handle* get() { return &handle_; }
    void closeCursor() { free(DSQL_close); }

private:
    void free(unsigned short option) {
        if (!handle_)
            return;
        ISC_STATUS_ARRAY status;
        client_.dsql_free_statement(status, &handle_, option);
    }

    Client& client_;
    isc_stmt_handle handle_ = 0;
};

// An XSQLDA with its variables' data areas and NULL indicators.
class Sqlda {
public:
    explicit Sqlda(int count)
        : sqlda_(static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(std::max(count, 1))))),
          buffers_(count), indicators_(count, -1) {
        if (!sqlda_)
            throw std::bad_alloc();
        sqlda_->version = SQLDA_VERSION1;
        sqlda_->sqln = static_cast<ISC_SHORT>(std::max(count, 1));
    }

    XSQLDA* get() { return sqlda_.get(); }
    int described() const { return sqlda_->sqld; }
    XSQLVAR& var(int i) { return sqlda_->sqlvar[i]; }
    const XSQLVAR& var(int i) const { return sqlda_->sqlvar[i]; }

    // Gives every variable a data area of its described size and a NULL indicator.
    void allocate() {
        for (int i = 0; i < described(); ++i) {
            XSQLVAR& v = var(i);
            const int size = v.sqllen + (baseType(v) == SQL_VARYING ? 2 : 0);
            point(i, QByteArray(size, '\0'));
        }
    }

    // Points variable i at these bytes, which it then owns.
    void point(int i, QByteArray bytes) {
        buffers_[i] = std::move(bytes);
        var(i).sqldata = buffers_[i].data();
        var(i).sqlind = &indicators_[i];
    }

    void setNull(int i, bool null) { indicators_[i] = null ? -1 : 0; }

private:
    struct Free {
        void operator()(XSQLDA* sqlda) const { std::free(sqlda); }
    };
    std::unique_ptr<XSQLDA, Free> sqlda_;
    std::vector<QByteArray> buffers_;
    std::vector<short> indicators_;
};

// A column has an alias and a table; a parameter's are whatever the client library left there.
enum class Described { Column, Parameter };

ColumnInfo describe(const XSQLVAR& var, Described what) {
    ColumnInfo info;
    if (what == Described::Column) {
        info.name = QString::fromLocal8Bit(var.aliasname, var.aliasname_length);
        info.relation = QString::fromLocal8Bit(var.relname, var.relname_length);
    }
    info.sqlType = baseType(var);
    info.subType = var.sqlsubtype;
    info.length = var.sqllen;
    info.nullable = var.sqltype & 1;
    return info;
}

Value valueOf(const XSQLVAR& var) {
    Value value;
    value.null = (var.sqltype & 1) && *var.sqlind < 0;
    if (baseType(var) == SQL_VARYING) {
        short length = 0;
        std::memcpy(&length, var.sqldata, sizeof length);
        length = std::clamp<short>(length, 0, var.sqllen);
        value.data = QByteArray(var.sqldata + sizeof length, length);
    } else {
        value.data = QByteArray(var.sqldata, var.sqllen);
    }
    return value;
}

// The answer item of the row count an executed statement of this type changes.
char countItem(int statementType) {
    switch (statementType) {
    case isc_info_sql_stmt_update:
        return isc_info_req_update_count;
    case isc_info_sql_stmt_insert:
        return isc_info_req_insert_count;
    case isc_info_sql_stmt_delete:
        return isc_info_req_delete_count;
    default:
        return 0;
    }
}

// Everything that exists only while a text is prepared.
struct PreparedState {
    explicit PreparedState(Client& client) : handle(client) {}

    StatementHandle handle;
    int type = 0;
    bool cursorOpen = false;
    std::unique_ptr<Sqlda> output, input;
    std::vector<ColumnInfo> columns, parameters;
    QStringList placeholderNames, distinctNames;
};

} // namespace

struct Statement::Impl {
    Impl(Database& database, Transaction& transaction)
        : database(database), transaction(transaction) {}

    Client& client() const { return database.client(); }

    void checkHandles() const {
        database.CheckActive();
        if (!transaction.Active())
            throw Error("Transaction is not active");
    }

    PreparedState& current() const {
        if (!prepared)
            throw std::logic_error("Statement is not prepared");
        return *prepared;
    }

    void call(ISC_STATUS result, const ISC_STATUS* status) const {
        if (result)
            database.RaiseStatus(status);
    }

    using DescribeFn = decltype(&::isc_dsql_describe);

    std::unique_ptr<Sqlda> describeWith(DescribeFn fn, PreparedState& p) const {
        ISC_STATUS_ARRAY status;
        auto sqlda = std::make_unique<Sqlda>(1);
        call(fn(status, p.handle.get(), SQLDA_VERSION1, sqlda->get()), status);
        if (sqlda->described() > 1) {
            sqlda = std::make_unique<Sqlda>(sqlda->described());
            call(fn(status, p.handle.get(), SQLDA_VERSION1, sqlda->get()), status);
        }
        sqlda->allocate();
        return sqlda;
    }

    int statementType(PreparedState& p) const {
        const char items[] = {isc_info_sql_stmt_type};
        char answer[16] = {};
        ISC_STATUS_ARRAY status;
        call(client().dsql_sql_info(status, p.handle.get(), sizeof items, items, sizeof answer,
                                    answer),
             status);
        const auto value = FindInfoItem(QByteArrayView(answer, sizeof answer), items[0]);
        return static_cast<int>(value ? InfoNumber(*value).value_or(0) : 0);
    }

    Database& database;
    Transaction& transaction;
    std::unique_ptr<PreparedState> prepared;
};

Statement::Statement(Database& database, Transaction& transaction)
    : d(std::make_unique<Impl>(database, transaction)) {}

Statement::~Statement() = default;

void Statement::Prepare(const QString& sql) {
    Unprepare();
    d->checkHandles();
    PositionalSql positional = RewriteParams(sql);
    auto p = std::make_unique<PreparedState>(d->client());
    ISC_STATUS_ARRAY status;
    d->call(d->client().dsql_allocate_statement(status, d->database.handle(), p->handle.get()),
            status);
    const QByteArray text = positional.text.toLocal8Bit(); // NUL-terminated: length 0
    d->call(d->client().dsql_prepare(status, d->transaction.handle(), p->handle.get(), 0,
                                     text.constData(), Database::SQLDialect, nullptr),
            status);
    p->type = d->statementType(*p);
    p->output = d->describeWith(d->client().dsql_describe, *p);
    p->input = d->describeWith(d->client().dsql_describe_bind, *p);
    for (int i = 0; i < p->output->described(); ++i)
        p->columns.push_back(describe(p->output->var(i), Described::Column));
    for (int i = 0; i < p->input->described(); ++i) {
        p->parameters.push_back(describe(p->input->var(i), Described::Parameter));
        p->input->var(i).sqltype |= 1; // every parameter can be sent as NULL
    }
    p->placeholderNames = positional.names;
    p->distinctNames = positional.names;
    p->distinctNames.removeDuplicates();
    d->prepared = std::move(p);
}

bool Statement::Prepared() const {
    return d->prepared != nullptr;
}

void Statement::Unprepare() {
    d->prepared.reset();
}

const std::vector<ColumnInfo>& Statement::Columns() const {
    return d->current().columns;
}

const std::vector<ColumnInfo>& Statement::Parameters() const {
    return d->current().parameters;
}

const QStringList& Statement::ParamNames() const {
    return d->current().distinctNames;
}

void Statement::SetParam(const QString& name, const Value& value) {
    PreparedState& p = d->current();
    const QString key = name.trimmed().toUpper();
    if (!p.distinctNames.contains(key))
        throw std::invalid_argument("No parameter " + key.toStdString());
    for (int i = 0; i < p.placeholderNames.size(); ++i) {
        if (p.placeholderNames[i] == key)
            setParam(i, value);
    }
}

void Statement::setParam(int index, const Value& value) {
    PreparedState& p = d->current();
    const ColumnInfo& info = p.parameters[index];
    XSQLVAR& var = p.input->var(index);
    if (value.null) {
        p.input->setNull(index, true);
        return;
    }
    if (isText(info.sqlType)) {
        if (value.data.size() > info.length)
            throw Error(QString::asprintf("Trying to store a string of length %d into a field "
                                          "that can only contain %d",
                                          int(value.data.size()), int(info.length))
                            .toStdString());
        var.sqltype = SQL_TEXT | 1;
    } else if (value.data.size() != info.length) {
        throw std::invalid_argument("Parameter " + p.placeholderNames[index].toStdString() +
                                    " takes " + std::to_string(info.length) + " bytes");
    } else {
        var.sqltype = static_cast<short>(info.sqlType | 1);
    }
    var.sqllen = static_cast<short>(value.data.size());
    p.input->point(index, value.data);
    p.input->setNull(index, false);
}

void Statement::Execute() {
    PreparedState& p = d->current();
    d->checkHandles();
    CloseCursor();
    ISC_STATUS_ARRAY status;
    XSQLDA* input = p.input->described() ? p.input->get() : nullptr;
    d->call(d->client().dsql_execute(status, d->transaction.handle(), p.handle.get(),
                                     SQLDA_VERSION1, input),
            status);
    p.cursorOpen = p.type == isc_info_sql_stmt_select || p.type == isc_info_sql_stmt_select_for_upd;
}

bool Statement::Fetch() {
    PreparedState& p = d->current();
    d->database.CheckActive();
    if (!p.cursorOpen)
        throw std::logic_error("Fetch without an open cursor");
    ISC_STATUS_ARRAY status;
    const ISC_STATUS result =
        d->client().dsql_fetch(status, p.handle.get(), SQLDA_VERSION1, p.output->get());
    if (result == 100)
        return false;
    if (result) {
        CloseCursor();
        d->database.RaiseStatus(status);
    }
    return true;
}

void Statement::CloseCursor() {
    if (!d->prepared || !d->prepared->cursorOpen)
        return;
    d->prepared->handle.closeCursor();
    d->prepared->cursorOpen = false;
}

std::vector<Value> Statement::Row() const {
    const PreparedState& p = d->current();
    std::vector<Value> row;
    for (int i = 0; i < p.output->described(); ++i)
        row.push_back(valueOf(p.output->var(i)));
    return row;
}

long Statement::RowsAffected() const {
    PreparedState& p = d->current();
    const char wanted = countItem(p.type);
    if (!wanted)
        return -1;
    d->database.CheckActive();
    const char items[] = {isc_info_sql_records, isc_info_end};
    char answer[128] = {};
    ISC_STATUS_ARRAY status;
    d->call(d->client().dsql_sql_info(status, p.handle.get(), sizeof items, items, sizeof answer,
                                      answer),
            status);
    // The records item holds one (item, length, count) cluster per kind of change.
    const auto records = FindInfoItem(QByteArrayView(answer, sizeof answer), isc_info_sql_records);
    const auto count = records ? FindInfoItem(*records, wanted) : std::nullopt;
    return count ? static_cast<long>(InfoNumber(*count).value_or(0)) : 0;
}

std::vector<Value> ExecuteImmediate(Database& database, Transaction& transaction,
                                    const QString& sql, const std::vector<TypedValue>& params,
                                    const std::vector<ColumnInfo>& columns) {
    database.CheckActive();
    if (!transaction.Active())
        throw Error("Transaction is not active");
    Sqlda input(static_cast<int>(params.size()));
    input.get()->sqld = static_cast<ISC_SHORT>(params.size());
    for (int i = 0; i < input.described(); ++i) {
        const TypedValue& param = params[i];
        input.var(i).sqltype = static_cast<short>(param.sqlType | 1);
        input.var(i).sqllen = static_cast<short>(param.value.data.size());
        input.point(i, param.value.data);
        input.setNull(i, param.value.null);
    }
    Sqlda output(static_cast<int>(columns.size()));
    output.get()->sqld = static_cast<ISC_SHORT>(columns.size());
    for (int i = 0; i < output.described(); ++i) {
        output.var(i).sqltype = static_cast<short>(columns[i].sqlType | 1);
        output.var(i).sqllen = columns[i].length;
    }
    output.allocate();
    const QByteArray text = sql.toLocal8Bit(); // NUL-terminated: length 0
    ISC_STATUS_ARRAY status;
    if (database.client().dsql_exec_immed2(status, database.handle(), transaction.handle(), 0,
                                           text.constData(), Database::SQLDialect, input.get(),
                                           output.get()))
        database.RaiseStatus(status);
    std::vector<Value> row;
    for (int i = 0; i < output.described(); ++i)
        row.push_back(valueOf(output.var(i)));
    return row;
}

} // namespace db
