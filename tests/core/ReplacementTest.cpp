// The replacement core without any widget, on a scratch database on the real server; what was
// stored is read back over a second connection.

#include "core/Replacement.h"
#include "datamodule/Data.h"
#include "datamodule/DataModuleStore.h"
#include "support/AppFixture.h"
#include "support/FaultClient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using apptest::SampleLayout;
using core::Outcome;
using core::Phase;
using Result = core::Outcome::Result;

namespace {

core::ReplaceOptions Options(bool dryRun, bool verifyStored, bool skipIdenticalContent) {
    core::ReplaceOptions options;
    options.dryRun = dryRun;
    options.verifyStored = verifyStored;
    options.skipIdenticalContent = skipIdenticalContent;
    options.digests = true;
    return options;
}

store::ContentDigest DigestOf(const QByteArray& bytes) {
    return {bytes.size(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()};
}

class ReplacementTest : public testing::Test {
protected:
    explicit ReplacementTest(const char* clientLibrary = db::Client::DefaultLibrary)
        : dm(clientLibrary) {
        apptest::CreateReports(scratch);
        dm.UseTarget(scratch.target());
        dm.OpenReportList();
    }

    QString File(const QString& name, const QByteArray& content) {
        const QString path = QDir(files.path()).filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        return path;
    }
    Outcome Replace(const QString& id, const QString& file, core::ReplaceOptions options = {}) {
        options.backupDirectory = backups.path();
        return replacer.Replace(id, file, options);
    }
    std::optional<QByteArray> Stored(const QString& id) {
        return scratch.readBlob("REPORTS", "DESCR", "ID", id.toStdString());
    }
    QStringList Backups() const { return QDir(backups.path()).entryList(QDir::Files); }
    QByteArray Read(const QString& path) const {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    void ExpectNothingStoredChanged() {
        for (const QString& id : apptest::ReportIds())
            EXPECT_EQ(Stored(id), SampleLayout(id));
        EXPECT_EQ(dm.IBReports.state(), db::Dataset::State::Browse);
        EXPECT_TRUE(dm.IBT.Active());
    }

    fbtest::ScratchDatabase scratch;
    QTemporaryDir files;
    QTemporaryDir backups;
    TDM dm;
    DataModuleStore store{dm};
    core::Replacer replacer{store};
};

TEST_F(ReplacementTest, StoresTheFileAfterABackupAndReportsBothDigestsAndEachStep) {
    const QByteArray layout = QByteArray("\0\r\n\xFF new layout", 16).repeated(70000);
    std::vector<Phase> phases;
    replacer.OnProgress = [&](const core::Progress& progress) {
        if (phases.empty() || phases.back() != progress.phase)
            phases.push_back(progress.phase);
    };
    const Outcome outcome =
        Replace("INVOICE", File("new.fr3", layout), Options(false, false, false));
    ASSERT_EQ(outcome.result, Result::Replaced) << outcome.text.toStdString();
    EXPECT_EQ(Stored("INVOICE"), layout);
    EXPECT_EQ(Read(outcome.backupPath), SampleLayout("INVOICE"));
    EXPECT_EQ(QFileInfo(outcome.backupPath).dir().path(), backups.path());
    EXPECT_EQ(outcome.stored, DigestOf(SampleLayout("INVOICE")));
    EXPECT_EQ(outcome.replacement, DigestOf(layout));
    EXPECT_EQ(phases, std::vector<Phase>({Phase::ReadingStored, Phase::WritingBackup,
                                          Phase::ReadingTemplate, Phase::SendingNew,
                                          Phase::WaitingForDatabase}));
    EXPECT_EQ(dm.IBReports.state(), db::Dataset::State::Browse);
}

// Every way a replacement stops before the post is an error with the text the user sees; a
// refused post is a failure. Either way nothing stored changes and the list stays usable.
TEST_F(ReplacementTest, EachFailureLeavesEverythingStoredAsItWas) {
    const QString chosen = File("new.fr3", "new");
    Outcome outcome = Replace("INVOICE", files.path() + "/missing.fr3");
    EXPECT_EQ(outcome.result, Result::Error);
    EXPECT_EQ(outcome.text,
              "Cannot open file \"" + files.path() + "/missing.fr3\". No such file or directory");

    outcome = Replace("invoice", chosen);
    EXPECT_EQ(outcome.result, Result::Error);
    EXPECT_EQ(outcome.text, "Report invoice was not found in REPORTS. Nothing was changed.");

    outcome = replacer.Replace("INVOICE", chosen, {"/sys"});
    EXPECT_EQ(outcome.result, Result::Error);
    EXPECT_TRUE(outcome.text.startsWith("Cannot create file \"/sys/B_INVOICE_"));
    EXPECT_TRUE(Backups().isEmpty());
    ExpectNothingStoredChanged();

    scratch.execute("create exception REFUSED 'layouts are frozen'");
    scratch.execute("create trigger FREEZE for REPORTS before update as begin "
                    "exception REFUSED; end");
    dm.IBReports.Close();
    dm.IBT.Commit();
    dm.OpenReportList();
    outcome = Replace("INVOICE", chosen);
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_TRUE(outcome.text.contains("layouts are frozen")) << outcome.text.toStdString();
    EXPECT_EQ(Read(outcome.backupPath), SampleLayout("INVOICE"));
    ExpectNothingStoredChanged();
}

TEST_F(ReplacementTest, ADryRunOnlyBacksUpAndIdenticalContentChangesNothing) {
    const QString chosen = File("new.fr3", "new");
    Outcome outcome = Replace("VATDEC", chosen, Options(true, false, false));
    EXPECT_EQ(outcome.result, Result::DryRun);
    EXPECT_EQ(Read(outcome.backupPath), SampleLayout("VATDEC"));
    EXPECT_EQ(outcome.replacement, DigestOf("new"));
    ExpectNothingStoredChanged();

    outcome =
        Replace("VATDEC", File("same.fr3", SampleLayout("VATDEC")), Options(false, false, true));
    EXPECT_EQ(outcome.result, Result::Unchanged);
    EXPECT_EQ(Backups().size(), 1); // the dry run's only

    outcome = Replace("VATDEC", chosen, Options(false, true, true));
    EXPECT_EQ(outcome.result, Result::Replaced) << outcome.text.toStdString();
    EXPECT_EQ(Stored("VATDEC"), "new");
}

class CancelTest : public ReplacementTest, public testing::WithParamInterface<Phase> {};

// Cancelled as a phase starts, the replacement fails like a refused post: the row keeps its
// bytes, a backup already written stays whole, and the next replacement goes through.
TEST_P(CancelTest, CancellingAtAnyStepChangesNothingStored) {
    const QByteArray layout = QByteArray(3 << 20, 'x');
    replacer.OnProgress = [&](const core::Progress& progress) {
        if (progress.phase == GetParam())
            replacer.Cancel();
    };
    const Outcome outcome = Replace("PAYORDER_K", File("new.fr3", layout));
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_EQ(outcome.text, "The replacement was cancelled");
    ExpectNothingStoredChanged();
    for (const QString& name : Backups())
        EXPECT_EQ(Read(QDir(backups.path()).filePath(name)), SampleLayout("PAYORDER_K"));

    replacer.OnProgress = nullptr;
    EXPECT_EQ(Replace("PAYORDER_K", File("new.fr3", layout)).result, Result::Replaced);
    EXPECT_EQ(Stored("PAYORDER_K"), layout);
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, CancelTest,
                         testing::Values(Phase::ReadingStored, Phase::WritingBackup,
                                         Phase::ReadingTemplate, Phase::SendingNew,
                                         Phase::WaitingForDatabase),
                         [](const testing::TestParamInfo<Phase>& phase) {
                             return "Phase" + std::to_string(int(phase.param));
                         });

// Failures of the client library itself, from the fault client.
class FaultyClientReplacementTest : public ReplacementTest {
protected:
    FaultyClientReplacementTest() : ReplacementTest(testbed::FaultClient::Path()) {}

    testbed::FaultClient faults;
};

// One byte changed on the way back, same size: the read-back must see it before the commit.
TEST_F(FaultyClientReplacementTest, AReadBackOfOtherBytesFailsBeforeTheCommit) {
    replacer.OnProgress = [&](const core::Progress& progress) {
        if (progress.phase == Phase::SendingNew && progress.done == 0)
            faults.corrupt("isc_get_segment", faults.calls("isc_get_segment") + 1);
    };
    const Outcome outcome = Replace("INVOICE", File("new.fr3", testbed::RandomBytes(40000)),
                                    Options(false, true, false));
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_TRUE(outcome.text.startsWith("The server returned other bytes"))
        << outcome.text.toStdString();
    ExpectNothingStoredChanged();
}

// Rolling back retaining fails and leaves the transaction active: the refused update must still
// go, or the next commit stores it.
TEST_F(FaultyClientReplacementTest, AFailedRollbackRetainingStillDropsTheRefusedUpdate) {
    constexpr long SynchronizationError = 335544364;
    faults.fail("isc_commit_retaining", 1, SynchronizationError);
    faults.fail("isc_rollback_retaining", 1, SynchronizationError);
    EXPECT_EQ(Replace("INVOICE", File("refused.fr3", "refused")).result, Result::Failed);
    EXPECT_EQ(faults.calls("isc_rollback_retaining"), 1);
    EXPECT_EQ(Replace("VATDEC", File("next.fr3", "next")).result, Result::Replaced);
    EXPECT_EQ(Stored("INVOICE"), SampleLayout("INVOICE"));
    EXPECT_EQ(Stored("VATDEC"), "next");
}

} // namespace
