// The streaming store under the replacement core, on scratch databases on the real server; what
// was stored is read back over the test bed's own connection.

#include "streaming/StreamingStore.h"
#include "core/Replacement.h"
#include "store/ServerHash.h"
#include "support/AppFixture.h"
#include "support/FaultClient.h"
#include "support/FbScratch.h"
#include "support/TestBed.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using Result = core::Outcome::Result;
using testbed::RandomBytes;

namespace {

const db::ConnectionOptions TestLogin{.user = fbtest::User,
                                      .password = fbtest::Password,
                                      .connectTimeoutSeconds = 5,
                                      .wireCompression = true};

class StreamingStoreTest : public testing::Test {
protected:
    explicit StreamingStoreTest(const std::string& descrType = "blob sub_type 0") {
        apptest::CreateReports(scratch, descrType);
    }

    core::Outcome Replace(const QByteArray& content, core::ReplaceOptions options = {}) {
        const QString path = files.filePath("new.fr3");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        options.backupDirectory = backups.path();
        return replacer.Replace("INVOICE", path, options);
    }
    std::optional<QByteArray> Stored() {
        return scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE");
    }
    QStringList Backups() const {
        return QDir(backups.path()).entryList(QDir::Files | QDir::Hidden);
    }

    fbtest::ScratchDatabase scratch;
    QTemporaryDir files;
    QTemporaryDir backups;
    testbed::FaultClient faults;
    streaming::StreamingStore store{scratch.target(), TestLogin, testbed::FaultClient::Path()};
    core::Replacer replacer{store};
};

core::ReplaceOptions Verifying(bool full = false) {
    core::ReplaceOptions options;
    options.verifyStored = true;
    options.fullVerify = full;
    return options;
}

// Around one full segment and past a whole copy buffer, verified by length and hash, and once
// by a full read-back; the old bytes reach the backup whole.
TEST_F(StreamingStoreTest, StoresBinaryBytesExactlyAroundTheSegmentSize) {
    QByteArray previous = apptest::SampleLayout("INVOICE");
    for (const qsizetype size : {65534, 65535, 65536, 3 * 65535 + 1, (1 << 20) + 3}) {
        const QByteArray content = RandomBytes(size, static_cast<quint32>(size));
        const core::Outcome outcome = Replace(content, Verifying(size == 65536));
        ASSERT_EQ(outcome.result, Result::Replaced) << size << ": " << outcome.text.toStdString();
        EXPECT_EQ(Stored(), content) << size;
        QFile backup(outcome.backupPath);
        EXPECT_TRUE(backup.open(QIODevice::ReadOnly) && backup.readAll() == previous) << size;
        previous = content;
    }
}

class StreamingTextStoreTest : public StreamingStoreTest {
protected:
    StreamingTextStoreTest() : StreamingStoreTest("blob sub_type text character set WIN1251") {}
};

TEST_F(StreamingTextStoreTest, StoresTextBytesExactly) {
    QByteArray text;
    while (text.size() < (1 << 20) + 100)
        text += "<band name=\"\xC8\xCC\xDF\">\r\n\xE0\xE1\xE2 \x01\t</band>\n";
    EXPECT_EQ(Replace(text, Verifying()).result, Result::Replaced);
    EXPECT_EQ(Stored(), text);
}

// The stored layout is streamed once, into a backup that goes again when the bytes are equal.
TEST_F(StreamingStoreTest, IdenticalContentIsReadOnceAndLeavesNoBackup) {
    QByteArray content = RandomBytes((1 << 20) + 7);
    scratch.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", content);
    core::ReplaceOptions options;
    options.skipIdenticalContent = true;
    faults.reset();
    EXPECT_EQ(Replace(content, options).result, Result::Unchanged);
    EXPECT_EQ(faults.calls("isc_open_blob2"), 1);
    EXPECT_EQ(faults.calls("isc_create_blob2"), 0);
    EXPECT_EQ(Backups(), QStringList());
    content[5] = static_cast<char>(content[5] ^ 1);
    faults.reset();
    EXPECT_EQ(Replace(content, options).result, Result::Replaced);
    EXPECT_EQ(faults.calls("isc_put_segment"), 17); // full segments of 65,535 bytes
    EXPECT_EQ(Stored(), content);
    EXPECT_EQ(Backups().size(), 1);
}

TEST_F(StreamingStoreTest, ADryRunBacksUpAndStoresNothing) {
    core::ReplaceOptions options;
    options.dryRun = true;
    EXPECT_EQ(Replace(RandomBytes(70000), options).result, Result::DryRun);
    EXPECT_EQ(Stored(), apptest::SampleLayout("INVOICE"));
    EXPECT_EQ(Backups().size(), 1);
    EXPECT_EQ(scratch.otherAttachments(), 1);
}

// A trigger makes the server store other bytes than were sent: the length and hash tell, and
// the update is rolled back.
TEST_F(StreamingStoreTest, StoredBytesOtherThanSentFailAndRollBack) {
    scratch.execute("create trigger MANGLE for REPORTS before update as begin "
                    "new.DESCR = new.DESCR || 'x'; end");
    const core::Outcome outcome = Replace(RandomBytes(100000), Verifying());
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_TRUE(outcome.text.startsWith("The server stored other bytes than were sent (100001 "))
        << outcome.text.toStdString();
    EXPECT_EQ(Stored(), apptest::SampleLayout("INVOICE"));
    scratch.execute("drop trigger MANGLE");
    EXPECT_EQ(Replace("after", Verifying()).result, Result::Replaced);
}

// Cancelled while the new bytes stream out, and again after the update: nothing stays pending,
// and the store goes on.
TEST_F(StreamingStoreTest, ACancelMidStreamRollsBack) {
    for (const core::Phase at : {core::Phase::ReadingTemplate, core::Phase::WaitingForDatabase}) {
        replacer.OnProgress = [&](const core::Progress& progress) {
            if (progress.phase == at &&
                (progress.done > 0 || at == core::Phase::WaitingForDatabase))
                replacer.Cancel();
        };
        EXPECT_EQ(Replace(RandomBytes(3 << 20), Verifying()).result, Result::Failed);
        EXPECT_EQ(Stored(), apptest::SampleLayout("INVOICE"));
    }
    replacer.OnProgress = nullptr;
    EXPECT_EQ(Replace("after").result, Result::Replaced);
    EXPECT_EQ(Stored(), QByteArray("after"));
}

// The length and HASH() in one exchange with the BLOB never opened, equal to what the store's
// generic route sums up over the streamed bytes.
TEST_F(StreamingStoreTest, FingerprintOfIsOneExchangeAndReadsNoLayout) {
    const QByteArray content = RandomBytes((1 << 20) + 5);
    scratch.writeBlob("REPORTS", "DESCR", "ID", "INVOICE", content);
    scratch.insertReport("EMPTY", std::nullopt);
    store.Connect();
    faults.reset();
    const std::optional<store::Fingerprint> fingerprint = store.FingerprintOf("INVOICE");
    EXPECT_EQ(faults.calls("isc_dsql_exec_immed2"), 1); // one exchange with the server
    EXPECT_EQ(faults.calls("isc_dsql_prepare"), 0);
    EXPECT_EQ(faults.calls("isc_open_blob2"), 0);
    store::FingerprintSink local;
    local.write(content.constData(), content.size());
    EXPECT_EQ(fingerprint, local.result());
    EXPECT_EQ(store.LayoutStore::FingerprintOf("INVOICE"), fingerprint);
    EXPECT_EQ(store.FingerprintOf("EMPTY"), store::Fingerprint{});
    EXPECT_EQ(store.FingerprintOf("NOSUCH"), std::nullopt);
    EXPECT_EQ(store.LayoutStore::FingerprintOf("NOSUCH"), std::nullopt);

    fbtest::ScratchDatabase shared; // no key: two rows can share an identifier
    shared.execute("create table REPORTS (ID varchar(20) not null, DESCR blob sub_type 0)");
    shared.insertReport("INVOICE", QByteArray("one"));
    shared.insertReport("INVOICE", QByteArray("two"));
    streaming::StreamingStore sharing{shared.target(), TestLogin};
    EXPECT_THROW(sharing.FingerprintOf("INVOICE"), store::NotUnique);
}

// Told by the attach itself, for the journal and the summaries to name the engine.
TEST_F(StreamingStoreTest, TellsTheEngineItReached) {
    EXPECT_EQ(store.EngineVersion(), std::nullopt);
    store.Connect();
    const std::optional<std::string> engine =
        scratch.queryValue("select rdb$get_context('SYSTEM', 'ENGINE_VERSION') from rdb$database");
    ASSERT_TRUE(engine);
    EXPECT_EQ(store.EngineVersion(), QString::fromStdString(*engine));
}

} // namespace

// The server's word, in the information call the attach makes anyway: no exchange of its own.
TEST_F(StreamingStoreTest, TellsWhetherTheServerCompressesItsTraffic) {
    EXPECT_EQ(store.WireCompressed(), std::nullopt);
    faults.reset();
    store.Connect();
    EXPECT_EQ(faults.calls("isc_database_info"), 1);
    EXPECT_EQ(store.WireCompressed(), true);
    db::ConnectionOptions plain = TestLogin;
    plain.wireCompression = false;
    streaming::StreamingStore uncompressed{scratch.target(), plain};
    uncompressed.Connect();
    EXPECT_EQ(uncompressed.WireCompressed(), false);
}
