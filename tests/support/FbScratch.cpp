#include "FbScratch.h"

#include "RawHandles.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fbtest {

namespace {

using raw::Blob;
using raw::check;
using raw::OneVar;
using raw::Statement;
using raw::Transaction;

std::string sqlLiteral(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

std::string uniqueDatabasePath() {
    static std::atomic<int> counter{0};
    std::random_device random;
    return "/tmp/korvex-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" +
           std::to_string(random()) + ".fdb";
}

// Runs a select and fetches its first row into out; a select without rows is an error.
void fetchFirstRow(isc_tr_handle* tr, isc_stmt_handle* stmt, const std::string& select, int dialect,
                   XSQLDA* out) {
    ISC_STATUS_ARRAY status;
    check(isc_dsql_prepare(status, tr, stmt, 0, select.c_str(),
                           static_cast<unsigned short>(dialect), nullptr),
          status, select.c_str());
    check(isc_dsql_execute(status, tr, stmt, SQLDA_VERSION1, nullptr), status, select.c_str());
    const ISC_STATUS fetched = isc_dsql_fetch(status, stmt, SQLDA_VERSION1, out);
    if (fetched == 100)
        throw std::runtime_error("fbtest: no row: " + select);
    check(fetched, status, select.c_str());
}

QByteArray readWholeBlob(isc_db_handle& db, isc_tr_handle* tr, ISC_QUAD id) {
    Blob blob;
    ISC_STATUS_ARRAY status;
    check(isc_open_blob2(status, &db, tr, blob.get(), &id, 0, nullptr), status, "open BLOB");
    QByteArray content;
    char segment[32768];
    for (;;) {
        unsigned short got = 0;
        const ISC_STATUS result =
            isc_get_segment(status, blob.get(), &got, sizeof segment, segment);
        if (result && result != isc_segment) {
            if (result == isc_segstr_eof)
                break;
            check(result, status, "read BLOB");
        }
        content.append(segment, got);
    }
    blob.close();
    return content;
}

} // namespace

std::string ServerVersion() {
    const char* version = std::getenv("KORVEX_TEST_SERVER_VERSION");
    if (!version || !*version)
        return {};
    if (std::string(version) != "3" && std::string(version) != "4")
        throw std::runtime_error(std::string("fbtest: KORVEX_TEST_SERVER_VERSION is \"") + version +
                                 "\"; supported: 3, 4");
    return version;
}

std::string Target(const std::string& path, int port) {
    const std::string host = port == ServerPort ? "127.0.0.1" : "127.0.0.1/" + std::to_string(port);
    return host + ":" + path;
}

ScratchDatabase::ScratchDatabase(int dialect, int port)
    : ScratchDatabase(Created{}, dialect, port) {
    // Checked once the database is there, so that a refusal drops it like any other end.
    const std::string wanted = ServerVersion();
    if (!wanted.empty() && !engineVersion().starts_with(wanted + "."))
        throw std::runtime_error("fbtest: the server on 127.0.0.1:" + std::to_string(port_) +
                                 " runs Firebird " + engineVersion() + ", not the " + wanted +
                                 " KORVEX_TEST_SERVER_VERSION names");
}

ScratchDatabase::ScratchDatabase(Created, int dialect, int port)
    : dialect_(dialect), port_(port), path_(uniqueDatabasePath()) {
    const std::string sql = "create database " + sqlLiteral(Target(path_, port_)) + " user " +
                            sqlLiteral(User) + " password " + sqlLiteral(Password);
    isc_tr_handle tr = 0;
    ISC_STATUS_ARRAY status;
    check(isc_dsql_execute_immediate(status, &db_, &tr, 0, sql.c_str(), dialect_, nullptr), status,
          "create database");
}

ScratchDatabase::~ScratchDatabase() {
    ISC_STATUS_ARRAY status;
    if (isc_drop_database(status, &db_)) {
        // The server is gone (a test killed it): the file is all that is left.
        isc_detach_database(status, &db_);
        std::filesystem::remove(path_);
    }
}

void ScratchDatabase::reconnect() {
    ISC_STATUS_ARRAY status;
    if (db_)
        isc_detach_database(status, &db_);
    db_ = 0;
    std::string dpb{char(isc_dpb_version1)};
    for (const auto& [item, text] :
         {std::pair{isc_dpb_user_name, User}, {isc_dpb_password, Password}})
        dpb += std::string{char(item), char(std::strlen(text))} + text;
    const std::string target = Target(path_, port_);
    check(isc_attach_database(status, 0, target.c_str(), &db_, static_cast<short>(dpb.size()),
                              dpb.data()),
          status, "attach");
}

std::string ScratchDatabase::engineVersion() {
    return queryValue("select rdb$get_context('SYSTEM', 'ENGINE_VERSION') from rdb$database")
        .value_or("");
}

QString ScratchDatabase::target() const {
    return QString::fromStdString(Target(path_, port_));
}

void ScratchDatabase::execute(const std::string& sql) {
    Transaction tr(db_);
    ISC_STATUS_ARRAY status;
    check(isc_dsql_execute_immediate(status, &db_, tr.get(), 0, sql.c_str(), dialect_, nullptr),
          status, sql.c_str());
    tr.commit();
}

std::optional<std::string> ScratchDatabase::queryValue(const std::string& select) {
    Transaction tr(db_);
    Statement stmt(db_);
    struct {
        short length;
        char text[32000];
    } value{};
    short indicator = 0;
    OneVar out(SQL_VARYING, sizeof value.text, &value, &indicator);
    fetchFirstRow(tr.get(), stmt.get(), select, dialect_, &out.sqlda);
    if (indicator < 0)
        return std::nullopt;
    return std::string(value.text, value.length);
}

std::optional<QByteArray> ScratchDatabase::queryBlob(const std::string& select) {
    Transaction tr(db_);
    Statement stmt(db_);
    ISC_QUAD id{};
    short indicator = 0;
    OneVar out(SQL_BLOB, sizeof id, &id, &indicator);
    fetchFirstRow(tr.get(), stmt.get(), select, dialect_, &out.sqlda);
    if (indicator < 0)
        return std::nullopt;
    return readWholeBlob(db_, tr.get(), id);
}

bool ScratchDatabase::running(const std::string& sqlStart) {
    return queryValue("select count(*) from mon$statements where mon$state = 1 and "
                      "mon$attachment_id <> current_connection and mon$sql_text starting with " +
                      sqlLiteral(sqlStart)) != "0";
}

int ScratchDatabase::otherAttachments() {
    return std::stoi(*queryValue("select count(*) from mon$attachments where mon$system_flag = 0 "
                                 "and mon$attachment_id <> current_connection"));
}

std::optional<QByteArray> ScratchDatabase::readBlob(const std::string& table,
                                                    const std::string& column,
                                                    const std::string& keyColumn,
                                                    const std::string& key) {
    return queryBlob("select " + column + " from " + table + " where " + keyColumn + " = " +
                     sqlLiteral(key));
}

void ScratchDatabase::writeBlob(const std::string& table, const std::string& column,
                                const std::string& keyColumn, const std::string& key,
                                const std::optional<QByteArray>& content) {
    executeWithBlob("update " + table + " set " + column + " = ? where " + keyColumn + " = " +
                        sqlLiteral(key),
                    content);
}

void ScratchDatabase::insertReport(const std::string& id,
                                   const std::optional<QByteArray>& content) {
    executeWithBlob("insert into REPORTS (ID, DESCR) values (" + sqlLiteral(id) + ", ?)", content);
}

void ScratchDatabase::executeWithBlob(const std::string& sql,
                                      const std::optional<QByteArray>& content) {
    Transaction tr(db_);
    ISC_STATUS_ARRAY status;
    ISC_QUAD id{};
    short indicator = content ? 0 : -1;
    if (content) {
        Blob blob;
        check(isc_create_blob2(status, &db_, tr.get(), blob.get(), &id, 0, nullptr), status,
              "create BLOB");
        // Segments of another size than the layer's own, so a fault there cannot cancel out.
        constexpr qsizetype Segment = 32000;
        for (qsizetype at = 0; at < content->size(); at += Segment) {
            const auto length =
                static_cast<unsigned short>(std::min(Segment, content->size() - at));
            check(isc_put_segment(status, blob.get(), length, content->constData() + at), status,
                  "write BLOB");
        }
        blob.close();
    }
    OneVar in(SQL_BLOB, sizeof id, &id, &indicator);
    check(isc_dsql_execute_immediate(status, &db_, tr.get(), 0, sql.c_str(), dialect_, &in.sqlda),
          status, sql.c_str());
    tr.commit();
}

namespace {

std::string uniqueUserName() {
    static std::atomic<int> counter{0};
    return "KORVEX_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

} // namespace

ScratchUser::ScratchUser(ScratchDatabase& database) : database_(database), name_(uniqueUserName()) {
    database_.execute("create user " + name_ + " password " + sqlLiteral(password_));
}

ScratchUser::~ScratchUser() {
    try {
        database_.execute("drop user " + name_);
    } catch (const std::exception&) {
        // The server is gone; so is every session of this login.
    }
}

namespace {

// A port nobody listens on right now: the kernel's choice for an ephemeral bind.
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(fd);
    if (!ok)
        throw std::runtime_error("fbtest: no free port");
    return ntohs(address.sin_port);
}

bool portOpen(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool open = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return open;
}

// Dead includes a zombie that nobody has reaped yet.
bool processAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    return stat >> pidField >> name >> state && state != "Z";
}

std::string makeInstanceDir() {
    std::string dir = "/tmp/korvex-fbinstance-XXXXXX";
    if (!mkdtemp(dir.data()))
        throw std::runtime_error("fbtest: cannot create an instance folder");
    return dir;
}

std::string ScriptCommand(const std::string& action, const std::string& options) {
    return std::string("bash '") + KORVEX_SOURCE_DIR + "/scripts/fbserver.sh' " + action + options;
}

} // namespace

bool ServerInstalled(const std::string& version) {
    return std::system((ScriptCommand("installed", " --version " + version) + " >/dev/null 2>&1")
                           .c_str()) == 0;
}

ServerInstance::ServerInstance(std::string version)
    : version_(std::move(version)), dir_(makeInstanceDir()), port_(freePort()) {
    start();
}

void ServerInstance::start() {
    script("start");
}

ServerInstance::~ServerInstance() {
    try {
        script("stop");
    } catch (const std::exception&) {
        // Already stopped by a test, or it will be found by its folder.
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void ServerInstance::script(const std::string& action) const {
    const std::string log = dir_ + "/script-" + action + ".log";
    const std::string command =
        ScriptCommand(action, " --port " + std::to_string(port_) + " --dir '" + dir_ + "'" +
                                  (version_.empty() ? "" : " --version " + version_)) +
        " >'" + log + "' 2>&1";
    if (std::system(command.c_str()) != 0) {
        std::ifstream in(log);
        const std::string output((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
        throw std::runtime_error("fbtest: fbserver.sh " + action + " failed: " + output);
    }
}

pid_t ServerInstance::pid() const {
    std::ifstream in(dir_ + "/firebird.pid");
    pid_t pid = 0;
    if (!(in >> pid))
        throw std::runtime_error("fbtest: no PID file in " + dir_);
    return pid;
}

void ServerInstance::kill() {
    const pid_t server = pid();
    ::kill(server, SIGKILL);
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(30);
    while (processAlive(server) || portOpen(port_)) {
        if (steady_clock::now() > deadline)
            throw std::runtime_error("fbtest: server " + std::to_string(server) + " survived");
        std::this_thread::sleep_for(milliseconds(20));
    }
}

StoppedServer::StoppedServer(const ServerInstance& server) : pid_(server.pid()) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("fbtest: pipe: ") + std::strerror(errno));
    watchdog_ = ::fork();
    if (watchdog_ == 0) {
        ::close(pipeEnds[1]);
        char told = 0;
        const bool orderly = ::read(pipeEnds[0], &told, 1) == 1;
        ::kill(pid_, SIGCONT);
        if (!orderly)
            ::kill(pid_, SIGTERM);
        ::_exit(0);
    }
    ::close(pipeEnds[0]);
    toWatchdog_ = pipeEnds[1];
    ::kill(pid_, SIGSTOP);
}

StoppedServer::~StoppedServer() {
    ::kill(pid_, SIGCONT);
    if (watchdog_ > 0) {
        [[maybe_unused]] const ssize_t told = ::write(toWatchdog_, "c", 1);
        ::waitpid(watchdog_, nullptr, 0);
    }
    ::close(toWatchdog_);
}

} // namespace fbtest
