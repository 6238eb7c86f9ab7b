#include "DbFixture.h"
#include "db/Statement.h"
#include "support/FbScratch.h"

#include <gtest/gtest.h>

namespace {

const std::string NotFound = " not found in the path. Please install InterBase to use this "
                             "functionality";

} // namespace

TEST(Client, LibraryMissingOrLackingEntryPoints) {
    EXPECT_EQ(errorText([] { db::Client("libkorvex-missing.so.9"); }),
              "InterBase library libkorvex-missing.so.9" + NotFound);
    EXPECT_EQ(errorText([] { db::Client("libm.so.6"); }), "InterBase library libm.so.6" + NotFound);
}

TEST(ParameterBlock, DataModuleLinesGiveTheTabulatedBytes) {
    const unsigned char expected[] = {0x01, 0x1C, 0x06, 's',  'y',  's',  'd',  'b', 'a', 0x1D,
                                      0x09, 't',  'a',  'l',  'l',  'o',  'w',  'f', 'e', 'n',
                                      0x3F, 0x04, 0x01, 0x00, 0x00, 0x00, 0x4D, 0x00};
    EXPECT_EQ(BlockOf(DataModuleParams()),
              QByteArray(reinterpret_cast<const char*>(expected), sizeof expected));
}

// UTF-8 whatever the locale, as the closing file-name flag tells the client library.
TEST(ParameterBlock, TextLengthsCountEncodedBytesAndDialectIsLittleEndian) {
    const QByteArray password = QString("пар").toUtf8();
    const QByteArray block = BlockOf({"password=пар", "sql_dialect=259", "connect_timeout=15"});
    EXPECT_EQ(block,
              QByteArray("\x01\x1D", 2) + char(password.size()) + password +
                  QByteArray("\x3F\x04\x03\x01\x00\x00\x39\x04\x0F\x00\x00\x00\x4D\x00", 14));
}

TEST(ParameterBlock, RefusalsNameTheParameterButNeverItsValue) {
    const auto refusal = [](const QString& line) {
        return errorText([&] { BlockOf({"user_name=sysdba", line}); });
    };
    const std::string prefix = "Invalid connection parameter: ";
    EXPECT_EQ(refusal("password=" + QString(256, u'x')), prefix + "password");
    EXPECT_EQ(refusal(" User_Name =" + QString(256, u'x')), prefix + "User_Name");
    EXPECT_EQ(refusal("sql_dialect=one"), prefix + "sql_dialect");
    EXPECT_EQ(refusal("connect_timeout=-1"), prefix + "connect_timeout");
    EXPECT_EQ(refusal("wire_compression=yes"), prefix + "wire_compression");
    EXPECT_EQ(refusal("role=secret"), prefix + "role");
    EXPECT_EQ(refusal("password"), prefix + "password");
}

// Design-time lines name each parameter once: a second value would be a guess at which one holds.
TEST(ParameterBlock, AParameterGivenTwiceIsRefused) {
    EXPECT_EQ(errorText([] {
                  BlockOf({"user_name=sysdba", " USER_NAME=other"});
              }),
              "Invalid connection parameter: USER_NAME");
    EXPECT_EQ(errorText([] {
                  BlockOf({"wire_compression=true", "wire_compression=false"});
              }),
              "Invalid connection parameter: wire_compression");
}

// The login first, then the role and the client's settings in one configuration text.
TEST(ParameterBlock, TypedOptionsGiveTheRoleAndTheClientSettings) {
    const QByteArray configuration = "WireCompression=false\nAuthClient=Srp256, Srp";
    EXPECT_EQ(db::ParameterBlock({.user = "a",
                                  .role = "R",
                                  .connectTimeoutSeconds = 0,
                                  .wireCompression = false,
                                  .authPlugins = {"Srp256", "Srp"}}),
              QByteArray("\x01\x1C\x01"
                         "a\x3C\x01R\x39\x04\x00\x00\x00\x00\x57",
                         14) +
                  char(configuration.size()) + configuration + QByteArray("\x4D\x00", 2));
    EXPECT_EQ(errorText([] { db::ParameterBlock({.role = QString(256, u'r')}); }),
              "Invalid connection parameter: role");
    EXPECT_EQ(errorText([] { db::ParameterBlock({.connectTimeoutSeconds = -1}); }),
              "Invalid connection parameter: connect_timeout");
}

// The client offers only the plugins named: the test server accepts no legacy login. Each line
// of the configuration counts, compression as well.
TEST(Open, TheNamedAuthenticationPluginsAreTheOnesOffered) {
    fbtest::ScratchDatabase scratch;
    Connection legacy(scratch.target());
    legacy.database.Options.authPlugins = {"Legacy_Auth"};
    EXPECT_THROW(legacy.database.Open(), db::ServerError);
    Connection current(scratch.target());
    current.database.Options.wireCompression = true;
    current.database.Options.authPlugins = {"Srp256", "Srp", "Legacy_Auth"};
    current.database.Open();
    current.transaction.StartTransaction();
    db::Statement statement(current.database, current.transaction);
    statement.Prepare("select rdb$get_context('SYSTEM', 'WIRE_COMPRESSED') from rdb$database");
    statement.Execute();
    ASSERT_TRUE(statement.Fetch());
    EXPECT_EQ(statement.Row()[0].data, "TRUE");
}

// Read with the attach's own information call; the server's context variable must agree.
TEST(Open, TheEngineVersionIsTheServers) {
    fbtest::ScratchDatabase scratch;
    Connection c(scratch.target());
    EXPECT_EQ(c.database.EngineVersion(), std::nullopt);
    c.database.Open();
    c.transaction.StartTransaction();
    db::Statement statement(c.database, c.transaction);
    statement.Prepare("select rdb$get_context('SYSTEM', 'ENGINE_VERSION') from rdb$database");
    statement.Execute();
    ASSERT_TRUE(statement.Fetch());
    const QString engine = QString::fromLatin1(statement.Row()[0].data).trimmed();
    EXPECT_EQ(c.database.EngineVersion(), engine);
    c.transaction.Commit();
    c.database.Close();
    EXPECT_EQ(c.database.EngineVersion(), engine) << "kept for the caller after the detach";
}

// The attach's own information call, against the server's context variable, either way.
TEST(Open, TellsWhetherTheServerCompressesTheTraffic) {
    fbtest::ScratchDatabase scratch;
    for (const bool compressed : {false, true}) {
        Connection c(scratch.target());
        EXPECT_EQ(c.database.WireCompressed(), std::nullopt);
        c.database.Options.wireCompression = compressed;
        c.database.Open();
        c.transaction.StartTransaction();
        db::Statement statement(c.database, c.transaction);
        statement.Prepare("select rdb$get_context('SYSTEM', 'WIRE_COMPRESSED') from rdb$database");
        statement.Execute();
        ASSERT_TRUE(statement.Fetch());
        EXPECT_EQ(statement.Row()[0].data, compressed ? "TRUE" : "FALSE");
        EXPECT_EQ(c.database.WireCompressed(), compressed);
    }
}

class OpenTest : public testing::TestWithParam<int> {};

TEST_P(OpenTest, RunsHooksAroundAttachAndReadsTheDatabaseDialect) {
    fbtest::ScratchDatabase scratch(GetParam());
    scratch.execute("create table REPORTS (ID varchar(20) not null, DESCR blob sub_type 0)");
    Connection c(QStringLiteral("placeholder"));
    QString seenByAfterConnect;
    c.database.BeforeConnect = [&](db::Database& sender) {
        sender.DatabaseName = scratch.target();
    };
    c.database.AfterConnect = [&](db::Database& sender) {
        EXPECT_TRUE(sender.Connected());
        seenByAfterConnect = sender.DatabaseName;
    };
    c.database.Open();
    EXPECT_EQ(seenByAfterConnect, scratch.target());
    EXPECT_EQ(c.database.DBSQLDialect(), GetParam());
    // The on-disk structure of the engine's own release: 12 on Firebird 3, 13 on 4.
    EXPECT_EQ(c.database.OdsMajorVersion(), scratch.engineVersion().starts_with("3.") ? 12 : 13);
    EXPECT_EQ(c.database.ParameterBlock(), BlockOf(DataModuleParams()));
    c.transaction.StartTransaction();
    c.database.Close();
    EXPECT_FALSE(c.database.Connected());
    EXPECT_FALSE(c.transaction.Active());
}

INSTANTIATE_TEST_SUITE_P(Dialects, OpenTest, testing::Values(1, 3));

TEST(Open, ParameterBlockIsBuiltOnceAtFirstConnect) {
    fbtest::ScratchDatabase scratch;
    Connection c(scratch.target());
    c.database.Open();
    c.database.Close();
    c.database.Options = {.user = "sysdba", .password = "wrong", .sqlDialect = 1};
    c.database.Open();
    EXPECT_TRUE(c.database.Connected());
}

// The server, not the parameter block's bytes, tells whether the attachment compresses.
TEST(Open, WireCompressionIsWhatTheServerReportsForTheAttachment) {
    fbtest::ScratchDatabase scratch;
    for (const char* choice : {"true", "false"}) {
        Connection c(scratch.target());
        c.database.Options.wireCompression = choice == std::string("true");
        c.database.Open();
        c.transaction.StartTransaction();
        db::Statement statement(c.database, c.transaction);
        statement.Prepare(
            "select iif(rdb$get_context('SYSTEM', 'WIRE_COMPRESSED') = 'TRUE', 'Y', 'N') "
            "from rdb$database");
        statement.Execute();
        ASSERT_TRUE(statement.Fetch());
        EXPECT_EQ(statement.Row()[0].data, choice == std::string("true") ? "Y" : "N") << choice;
    }
}

// Each failure carries the client library's lines, CR LF joined, with only the final "." gone.
TEST(Open, FailedAttachRaisesTheClientLibraryTextAndSkipsAfterConnect) {
    const std::string missing = "/tmp/korvex-no-such-dir/missing.fdb";
    const std::string noServer = fbtest::Target(missing, 1); // nothing listens on port 1
    struct Case {
        std::string target;
        QStringList params;
        std::string text;
    };
    const Case cases[] = {
        {fbtest::Target(missing), DataModuleParams(),
         "I/O error during \"open\" operation for file \"" + missing +
             "\"\r\nError while trying to open file\r\nNo such file or directory"},
        {fbtest::Target(missing),
         {"user_name=sysdba", "password=wrong", "sql_dialect=1"},
         "Your user name and password are not defined. Ask your database administrator to set up "
         "a Firebird login"},
        {noServer, DataModuleParams(),
         "Unable to complete network request to host \"127.0.0.1\".\r\nFailed to establish a "
         "connection"},
    };
    for (const Case& failure : cases) {
        Connection c(QString::fromStdString(failure.target));
        c.database.Options = db::ConnectionOptions::FromLines(failure.params);
        bool afterConnectRan = false;
        c.database.AfterConnect = [&](db::Database&) {
            afterConnectRan = true;
        };
        EXPECT_EQ(errorText([&] { c.database.Open(); }), failure.text);
        EXPECT_FALSE(c.database.Connected());
        EXPECT_FALSE(afterConnectRan);
    }
}
