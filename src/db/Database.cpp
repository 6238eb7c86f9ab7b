#include "Database.h"

#include "Dataset.h"
#include "Error.h"
#include "InfoAnswer.h"
#include "Transaction.h"

#include <algorithm>

namespace db {

namespace {

constexpr ISC_STATUS LostConnectionCodes[] = {isc_lost_db_connection, isc_net_read_err,
                                              isc_net_write_err};

bool lostConnection(const ServerError& error) {
    return std::any_of(std::begin(LostConnectionCodes), std::end(LostConnectionCodes),
                       [&](long code) { return error.hasCode(code); });
}

template <typename Item> void forget(std::vector<Item*>& items, Item& item) {
    items.erase(std::remove(items.begin(), items.end(), &item), items.end());
}

} // namespace

Database::Database(Client& client) : client_(client) {}

Database::~Database() {
    forceClose();
}

bool Database::Connected() const {
    return handle_ != 0;
}

void Database::Open() {
    if (Connected())
        return;
    if (BeforeConnect)
        BeforeConnect(*this);
    if (parameterBlock_.isEmpty())
        parameterBlock_ = db::ParameterBlock(Options);
    // UTF-8 whatever the locale, as the parameter block says.
    const QByteArray name = DatabaseName.toUtf8();
    ISC_STATUS_ARRAY status;
    if (client_.attach_database(status, static_cast<short>(name.size()), name.constData(), &handle_,
                                static_cast<short>(parameterBlock_.size()),
                                parameterBlock_.constData()))
        throw ServerError::FromStatus(client_, status);
    cancelHandle_ = handle_;
    aborted_ = false;
    readDatabaseInfo();
    if (AfterConnect)
        AfterConnect(*this);
}

// Only informative: statements are always prepared with the client dialect 1. The server's
// version, its own name for the database and the connection's flags come in this exchange that
// every attach makes anyway.
void Database::readDatabaseInfo() {
    const char items[] = {isc_info_db_sql_dialect,   isc_info_ods_version, isc_info_attachment_id,
                          isc_info_firebird_version, isc_info_db_id,       isc_info_creation_date,
                          char(fb_info_conn_flags),  isc_info_end};
    // The identity's two names take up to 255 bytes each.
    char answer[1024] = {};
    ISC_STATUS_ARRAY status;
    if (client_.database_info(status, &handle_, sizeof items, items, sizeof answer, answer))
        RaiseStatus(status);
    const QByteArrayView info(answer, sizeof answer);
    const auto number = [&](char item) -> std::optional<qint64> {
        const auto value = FindInfoItem(info, item);
        return value ? InfoNumber(*value) : std::nullopt;
    };
    // Older servers omit the dialect.
    dbDialect_ = static_cast<int>(number(isc_info_db_sql_dialect).value_or(1));
    odsMajor_ = static_cast<int>(number(isc_info_ods_version).value_or(0));
    attachmentId_ = number(isc_info_attachment_id).value_or(0);
    // Without the file's name, a creation time alone could match another server's database.
    const auto names = FindInfoItem(info, isc_info_db_id);
    const auto created = FindInfoItem(info, isc_info_creation_date);
    serverIdentity_ = names
                          ? names->toByteArray() + created.value_or(QByteArrayView()).toByteArray()
                          : QByteArray();
    const QString engine =
        EngineVersionOf(FindInfoItem(info, isc_info_firebird_version).value_or(QByteArrayView()));
    engineVersion_ = engine.isEmpty() ? std::nullopt : std::optional<QString>(engine);
    // Firebird 3 and later; an older server answers the item as unknown.
    const std::optional<qint64> flagBits = number(char(fb_info_conn_flags));
    wireCompressed_ =
        flagBits ? std::optional<bool>((*flagBits & isc_dpb_addr_flag_conn_compressed) != 0)
                 : std::nullopt;
}

void Database::Close() {
    if (!Connected())
        return;
    for (Dataset* dataset : datasets_)
        dataset->Close();
    for (Transaction* transaction : transactions_)
        transaction->EndSilently();
    ISC_STATUS_ARRAY status;
    if (client_.detach_database(status, &handle_))
        RaiseStatus(status);
    cancelHandle_ = 0;
}

void Database::forceClose() {
    if (!Connected() || forceClosing_)
        return;
    forceClosing_ = true;
    for (Dataset* dataset : datasets_) {
        try {
            dataset->Close();
        } catch (const std::exception&) {
            // The connection is going away; there is nobody left to tell.
        }
    }
    for (Transaction* transaction : transactions_)
        transaction->EndSilently();
    ISC_STATUS_ARRAY status;
    client_.detach_database(status, &handle_);
    handle_ = 0; // a failed detach leaves nothing this side could still use
    cancelHandle_ = 0;
    forceClosing_ = false;
}

int Database::DBSQLDialect() const {
    return dbDialect_;
}

int Database::OdsMajorVersion() const {
    return odsMajor_;
}

const QByteArray& Database::ServerIdentity() const {
    return serverIdentity_;
}

qint64 Database::AttachmentId() const {
    return attachmentId_;
}

const std::optional<QString>& Database::EngineVersion() const {
    return engineVersion_;
}

std::optional<bool> Database::WireCompressed() const {
    return wireCompressed_;
}

const QByteArray& Database::ParameterBlock() const {
    return parameterBlock_;
}

void Database::RaiseStatus(const ISC_STATUS* status) {
    ServerError error = ServerError::FromStatus(client_, status);
    if (closeIfLost(error))
        forceClose();
    throw error;
}

void Database::RaiseCommitStatus(const ISC_STATUS* status) {
    ServerError error = ServerError::FromStatus(client_, status);
    if (!closeIfLost(error))
        throw error;
    forceClose();
    throw CommitInDoubt(std::move(error));
}

// After an abort every failure is the dropped connection's, whatever the code says.
bool Database::closeIfLost(const ServerError& error) const {
    return aborted_ || lostConnection(error);
}

void Database::CheckActive() const {
    if (!Connected())
        throw Error("Cannot perform operation -- DB is not open");
}

void Database::CancelOperation(Cancel how) {
    isc_db_handle handle = cancelHandle_;
    if (handle == 0)
        return;
    if (how == Cancel::Abort)
        aborted_ = true;
    ISC_STATUS_ARRAY status;
    client_.cancel_operation(status, &handle,
                             how == Cancel::Raise ? fb_cancel_raise : fb_cancel_abort);
}

Client& Database::client() const {
    return client_;
}

isc_db_handle* Database::handle() {
    return &handle_;
}

void Database::attach(Transaction& transaction) {
    transactions_.push_back(&transaction);
}

void Database::detach(Transaction& transaction) {
    forget(transactions_, transaction);
}

void Database::attach(Dataset& dataset) {
    datasets_.push_back(&dataset);
}

void Database::detach(Dataset& dataset) {
    forget(datasets_, dataset);
}

} // namespace db
