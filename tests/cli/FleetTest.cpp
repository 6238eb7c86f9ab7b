// Rollouts to many databases: what is found wrong locally stops the run before any database is
// reached, and canaries and a failure limit keep a bad layout from the rest.

#include "ReportsFixture.h"
#include "support/AppFixture.h"
#include "support/JsonLines.h"

#include "platform/Files.h"

#include <QJsonArray>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

using apptest::SampleLayout;
using clitest::KorvexReportsTest;
using clitest::ProgramRun;

namespace {

// A port on loopback that takes connections and tells whether one came.
class Listener {
public:
    Listener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const auto* any = reinterpret_cast<sockaddr*>(&address);
        EXPECT_EQ(::bind(socket_.get(), any, length), 0);
        EXPECT_EQ(::listen(socket_.get(), 8), 0);
        EXPECT_EQ(::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
    }
    int port() const { return port_; }
    bool reached() const {
        pollfd waiting{socket_.get(), POLLIN, 0};
        return ::poll(&waiting, 1, 0) > 0;
    }

private:
    platform::FileDescriptor socket_;
    int port_ = 0;
};

class FleetTest : public KorvexReportsTest {
protected:
    std::optional<QByteArray> Stored(fbtest::ScratchDatabase& database) {
        return database.readBlob("REPORTS", "DESCR", "ID", "INVOICE");
    }
    QString Missing(const QString& name) const {
        return "127.0.0.1:" + folder.filePath(name + ".fdb");
    }
    static QStringList NotStarted(const QByteArray& out) {
        const QJsonObject summary = apptest::JsonLines(out).last();
        EXPECT_EQ(summary["event"].toString(), "summary");
        QStringList databases;
        for (const QJsonValue& database : summary["not_started"].toArray())
            databases << database.toString();
        return databases;
    }
};

// A listener of the test's own stands for the first database: any connect would reach it.
TEST_F(FleetTest, LocalFaultsAreUsageErrorsBeforeAnyDatabaseIsReached) {
    const Listener listener;
    const QString watched = QStringLiteral("127.0.0.1/%1:/x.fdb").arg(listener.port());
    fbtest::ScratchDatabase office;
    apptest::CreateReports(office);
    const QString layout = File("new.fr3", "new");
    const QStringList targets = {"-d", watched, "-d", office.target()};
    const std::pair<QStringList, QString> faults[] = {
        {{"replace", "INVOICE", folder.filePath("gone.fr3")},
         "\"" + folder.filePath("gone.fr3") + "\". No such file or directory"},
        {{"replace", "INVOICE", folder.path()}, "Is a directory"},
        {{"replace", "INVOICE", layout, "--backup-dir", folder.filePath("nowhere")},
         "the backup folder " + folder.filePath("nowhere") + " is not a folder"},
        {{"restore", "INVOICE", folder.filePath("B_INVOICE_261211120000.FR3")},
         "No such file or directory"},
        {{"replace", "INVOICE", layout, "--canary", "many"}, "--canary takes a whole number"},
    };
    for (const auto& [arguments, told] : faults) {
        const ProgramRun run = Reports(arguments + targets);
        EXPECT_EQ(run.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(run.errors.contains(told)) << run.errors.toStdString();
    }
    EXPECT_FALSE(listener.reached());
    EXPECT_EQ(Stored(office), SampleLayout("INVOICE"));
    EXPECT_TRUE(Backups("INVOICE").isEmpty());
}

// The canary refuses the layout (it has no such table): the others keep theirs, told not started.
TEST_F(FleetTest, ACanaryThatFailsLeavesEveryOtherDatabaseUntouched) {
    fbtest::ScratchDatabase canary, first, second;
    for (fbtest::ScratchDatabase* office : {&first, &second})
        apptest::CreateReports(*office);
    const QString layout = File("new.fr3", "new layout");
    const QStringList targets = {"-d", canary.target(), "-d", first.target(),
                                 "-d", second.target()};
    ProgramRun run =
        Reports(QStringList{"replace", "INVOICE", layout, "--canary", "1", "--json"} + targets);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(NotStarted(run.out), (QStringList{first.target(), second.target()}));
    EXPECT_TRUE(run.errors.contains("korvex-reports: a canary database did not end replaced or "
                                    "unchanged; 2 database(s) not started: " +
                                    first.target() + ", " + second.target()))
        << run.errors.toStdString();
    const QJsonObject journalled = RunSummaries().last();
    EXPECT_EQ(journalled["canary"].toInt(), 1);
    EXPECT_EQ(journalled["not_started"].toArray(), (QJsonArray{first.target(), second.target()}));
    EXPECT_TRUE(Reports({"history"})
                    .out.contains("0 replaced, 0 unchanged, 1 failed, 0 in doubt, "
                                  "2 not started"));
    EXPECT_EQ(Stored(first), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored(second), SampleLayout("INVOICE"));

    run = Reports(QStringList{"replace", "INVOICE", layout, "--canary", "1"} +
                  targets.mid(2)); // the canary now one that takes it
    EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(Stored(first), "new layout");
    EXPECT_EQ(Stored(second), "new layout");
}

TEST_F(FleetTest, NoDatabaseStartsOnceTheFailureLimitIsReached) {
    fbtest::ScratchDatabase office;
    apptest::CreateReports(office);
    const QStringList targets = {"-d", Missing("a"),    "-d", Missing("b"),
                                 "-d", office.target(), "-d", Missing("c")};
    const ProgramRun run = Reports(QStringList{"replace", "INVOICE", File("new.fr3", "new"),
                                               "--jobs", "1", "--max-failures", "2", "--json"} +
                                   targets);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(NotStarted(run.out), (QStringList{office.target(), Missing("c")}));
    EXPECT_TRUE(run.errors.contains("korvex-reports: 2 database(s) failed; 2 database(s) not "
                                    "started: " +
                                    office.target() + ", " + Missing("c")))
        << run.errors.toStdString();
    EXPECT_EQ(Stored(office), SampleLayout("INVOICE"));
}

} // namespace
