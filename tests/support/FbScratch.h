#pragma once

// Test bed on the real Firebird test server (127.0.0.1:3050, SYSDBA / tallowfen, started by
// `scripts/fbserver.sh start`). KORVEX_TEST_SERVER_VERSION (3 or 4) names the engine the tests
// expect there and the one each private server runs; a database on a server of another major
// version is refused, so a run never passes against the wrong engine.
//
// It talks to the client library directly and never uses src/db, so what a test checks through it
// (what the server really stores, whether a commit really happened) does not depend on the code
// under test. Every call runs in its own transaction, committed at once, over the scratch
// database's own connection: it sees only committed work of other connections.
//
//   fbtest::ScratchDatabase scratch(3);                 // a new empty dialect-3 database
//   scratch.execute("create table REPORTS (ID varchar(20) not null, DESCR blob sub_type 0)");
//   scratch.insertReport("INVOICE", QByteArray("\0\1\2", 3));
//   db.DatabaseName = scratch.target();                 // "127.0.0.1:/tmp/korvex-test-....fdb"
//   ...
//   EXPECT_EQ(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE"), expected);
//   EXPECT_EQ(scratch.queryValue("select count(*) from REPORTS"), "1");
//
// Failures throw std::runtime_error with the client library's message lines.

#include <QByteArray>
#include <QString>
#include <ibase.h>
#include <optional>
#include <string>
#include <sys/types.h>

namespace fbtest {

inline constexpr int ServerPort = 3050;
inline constexpr const char* User = "SYSDBA";
inline constexpr const char* Password = "tallowfen";

// KORVEX_TEST_SERVER_VERSION, or empty when unset (any engine, the script's default for private
// servers). Throws for a value that names no supported engine.
std::string ServerVersion();

// "127.0.0.1:<path>" on the shared server's port, "127.0.0.1/<port>:<path>" on any other.
std::string Target(const std::string& path, int port = ServerPort);

// A new database on a server, dropped when this object goes (its file deleted if the server has
// gone meanwhile). It keeps one connection of its own open for its lifetime.
class ScratchDatabase {
public:
    explicit ScratchDatabase(int dialect = 1, int port = ServerPort);
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    // The file, unique under /tmp.
    const std::string& path() const { return path_; }
    // The connection target for db::Database::DatabaseName.
    QString target() const;
    int dialect() const { return dialect_; }
    // The server's engine, e.g. "3.0.12" or "4.0.5".
    std::string engineVersion();

    // Attaches afresh, e.g. after its server was killed and started again.
    void reconnect();

    // DDL or DML, in the database's dialect.
    void execute(const std::string& sql);
    // The first column of the first row, converted to text by the server; nullopt for NULL.
    // Throws when there is no row.
    std::optional<std::string> queryValue(const std::string& select);
    // The first column of the first row, a BLOB, read whole; nullopt for NULL. Throws when there
    // is no row.
    std::optional<QByteArray> queryBlob(const std::string& select);

    // Whether another connection is running a statement whose text starts with this one right
    // now, as the server's monitoring tables show it: for example one waiting for a lock.
    bool running(const std::string& sqlStart);
    // Connections to this database other than its own, e.g. the tool's once it has attached, or
    // one a failed detach left behind.
    int otherAttachments();

    // Shortcuts for a text key and a BLOB column, e.g. ("REPORTS", "DESCR", "ID", "INVOICE").
    std::optional<QByteArray> readBlob(const std::string& table, const std::string& column,
                                       const std::string& keyColumn, const std::string& key);
    // nullopt stores NULL; an empty array stores an empty BLOB.
    void writeBlob(const std::string& table, const std::string& column,
                   const std::string& keyColumn, const std::string& key,
                   const std::optional<QByteArray>& content);
    // insert into REPORTS (ID, DESCR) values (id, content).
    void insertReport(const std::string& id, const std::optional<QByteArray>& content);

private:
    struct Created {};
    // Creates the database; the public constructor then checks the engine, with the destructor
    // to drop it if that fails.
    ScratchDatabase(Created, int dialect, int port);
    // Runs a statement with one BLOB parameter, filled with this content.
    void executeWithBlob(const std::string& sql, const std::optional<QByteArray>& content);

    int dialect_;
    int port_;
    std::string path_;
    isc_db_handle db_ = 0;
};

// A login of its own on a scratch database's server, with no rights but those the test grants
// ("grant select on REPORTS to " + user.name()). Dropped at destruction.
class ScratchUser {
public:
    explicit ScratchUser(ScratchDatabase& database);
    ~ScratchUser();
    ScratchUser(const ScratchUser&) = delete;
    ScratchUser& operator=(const ScratchUser&) = delete;

    const std::string& name() const { return name_; }
    const std::string& password() const { return password_; }

private:
    ScratchDatabase& database_;
    std::string name_;
    std::string password_ = "Qx7-login"; // found in no path or message
};

// A private Firebird server of its own (scripts/fbserver.sh start --port N --dir D, and --version
// from KORVEX_TEST_SERVER_VERSION) on a free port, for tests that kill a server under a connection
// without disturbing the shared one. Stopped and its folder removed at destruction.
class ServerInstance {
public:
    // Firebird 3 or 4 ("3", "4"), or empty for the script's default.
    explicit ServerInstance(std::string version = ServerVersion());
    ~ServerInstance();
    ServerInstance(const ServerInstance&) = delete;
    ServerInstance& operator=(const ServerInstance&) = delete;

    int port() const { return port_; }
    // The server process, as recorded in the instance folder.
    pid_t pid() const;
    // SIGKILL by PID; returns once the process is dead and its port closed.
    void kill();
    // Starts it again on the same port and folder, e.g. after kill().
    void start();

private:
    void script(const std::string& action) const;

    std::string version_;
    std::string dir_;
    int port_;
};

// Whether scripts/fbserver.sh finds this engine's server ("3", "4") installed here.
bool ServerInstalled(const std::string& version);

// The server stopped by SIGSTOP while this lives, as a hung server or host is: connections stay
// open and nothing answers. SIGCONT at destruction. Should the test process die first (a crash),
// a watchdog process of its own goes on with the server and ends it, so none stays stopped.
class StoppedServer {
public:
    explicit StoppedServer(const ServerInstance& server);
    ~StoppedServer();
    StoppedServer(const StoppedServer&) = delete;
    StoppedServer& operator=(const StoppedServer&) = delete;

private:
    pid_t pid_;
    int toWatchdog_ = -1; // closed without a word only when this process dies
    pid_t watchdog_ = -1;
};

} // namespace fbtest
