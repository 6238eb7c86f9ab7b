// The core's steps against a store in memory: their order, each failure's outcome and what is
// left stored, without a server.

#include "MemoryStore.h"
#include "core/Replacement.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using core::Phase;
using coretest::MemoryStore;
using Call = coretest::MemoryStore::Call;
using Result = core::Outcome::Result;

namespace {

class StepsTest : public testing::Test {
protected:
    StepsTest() {
        store.rows = {{"INVOICE", "old"}, {"VATDEC", "vat"}};
        replacer.OnProgress = [&](const core::Progress& progress) {
            if (phases.empty() || phases.back() != progress.phase)
                phases.push_back(progress.phase);
        };
    }
    core::Outcome Replace(const QByteArray& content, core::ReplaceOptions options = {},
                          const QString& id = "INVOICE") {
        const QString path = QDir(files.path()).filePath("new.fr3");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        if (options.backupDirectory.isEmpty())
            options.backupDirectory = files.path();
        return replacer.Replace(id, path, options);
    }
    QStringList Backups() const { return QDir(files.path()).entryList({"B_*"}); }
    void ExpectNothingStored() {
        EXPECT_EQ(store.rows[0].second, "old");
        EXPECT_FALSE(store.Pending());
    }

    MemoryStore store;
    QTemporaryDir files;
    core::Replacer replacer{store, [] {
                                return QDateTime(QDate(2023, 9, 22), QTime(8, 5, 3));
                            }};
    std::vector<Phase> phases;
};

TEST_F(StepsTest, BacksUpWritesPostsReadsBackAndCommitsInThisOrder) {
    const core::Outcome outcome = Replace(QByteArray(40000, 'n'), {{}, false, true});
    ASSERT_EQ(outcome.result, Result::Replaced) << outcome.text.toStdString();
    EXPECT_EQ(phases, std::vector<Phase>({Phase::ReadingStored, Phase::WritingBackup,
                                          Phase::ReadingTemplate, Phase::SendingNew,
                                          Phase::WaitingForDatabase}));
    EXPECT_EQ(store.log,
              std::vector<Call>({Call::Locate, Call::ReadStored, Call::ReadStored, Call::Write,
                                 Call::Post, Call::ReadBack, Call::Commit}));
    EXPECT_EQ(store.rows[0].second, QByteArray(40000, 'n'));
    EXPECT_EQ(Backups(), QStringList{"B_INVOICE_230922080503.FR3"});
}

// Each kind of failure: before the post an error, from it on a failure rolled back; the
// conflict's text tells the user to restart.
TEST_F(StepsTest, EachFailureLeavesTheStoreAsItWas) {
    EXPECT_EQ(Replace("new", {}, "MISSING").text, "no MISSING");
    store.Fail<store::NotUnique>(Call::Locate, 1, "two rows");
    EXPECT_EQ(Replace("new").result, Result::Error);
    const auto failAt = [&](Call call, const std::string& text, auto error) {
        store.Fail<decltype(error)>(call, 1, text);
        const core::Outcome outcome = Replace("new");
        EXPECT_EQ(outcome.result, Result::Failed);
        EXPECT_EQ(store.log.back(), Call::RollBack);
        ExpectNothingStored();
        return outcome.text;
    };
    EXPECT_EQ(failAt(Call::Post, "2 rows", store::NotUnique("")), "2 rows");
    EXPECT_EQ(failAt(Call::Post, "held", store::LockTimeout("")), "held");
    EXPECT_EQ(failAt(Call::Commit, "gone", store::ConnectionLost("")), "gone");
    EXPECT_TRUE(failAt(Call::Post, "conflict", store::UpdateConflict(""))
                    .startsWith("conflict\nAnother user changed this layout after the tool "
                                "started. Restart the tool"));
    // A backup that cannot be written stops everything before the store is touched.
    const size_t before = store.log.size();
    const core::Outcome outcome = Replace("new", {"/nonexistent"});
    EXPECT_TRUE(outcome.text.startsWith("Cannot create file \"/nonexistent/"));
    EXPECT_EQ(store.log.size() - before, 3u); // the row found and its bytes read twice
    ExpectNothingStored();
}

// A commit whose connection went is settled by what a new one sees.
TEST_F(StepsTest, ALostCommitIsReplacedFailedOrInDoubtByWhatTheStoreHoldsAfterwards) {
    store.Fail<store::CommitInDoubt>(Call::Commit, 1, "lost");
    store.seenAfterLostCommit = "new";
    EXPECT_EQ(Replace("new").result, Result::Replaced);
    store.seenAfterLostCommit.reset();
    store.Fail<store::CommitInDoubt>(Call::Commit, 1, "lost");
    core::Outcome outcome = Replace("new");
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_EQ(outcome.text, "lost");
    ExpectNothingStored();
    store.Fail<store::CommitInDoubt>(Call::Commit, 1, "lost");
    store.Fail<store::ConnectionLost>(Call::Check, 1, "no answer");
    outcome = Replace("new");
    EXPECT_EQ(outcome.result, Result::InDoubt);
    EXPECT_TRUE(outcome.text.contains("(lost), and a new connection could not tell whether it "
                                      "went through (no answer)"));
}

TEST_F(StepsTest, IdenticalContentAndADryRunWriteNothing) {
    EXPECT_EQ(Replace("old", {{}, false, false, true}).result, Result::Unchanged);
    EXPECT_TRUE(Backups().isEmpty());
    EXPECT_EQ(Replace("new", {{}, true}).result, Result::DryRun);
    EXPECT_EQ(Backups().size(), 1);
    EXPECT_EQ(store.Calls(Call::Write), 0);
    EXPECT_EQ(store.log.back(), Call::RollBack);
    ExpectNothingStored();
}

// A cancel that comes before the work begins must not be lost to it.
TEST_F(StepsTest, ACancelBeforeTheReplacementStopsIt) {
    replacer.Cancel();
    EXPECT_EQ(Replace("new").text, "The replacement was cancelled");
    EXPECT_TRUE(store.log.empty());
    EXPECT_EQ(store.cancels, 1);
}

class CancelStepsTest : public StepsTest, public testing::WithParamInterface<Phase> {};

TEST_P(CancelStepsTest, CancellingAtAnyStepStoresNothing) {
    replacer.OnProgress = [&](const core::Progress& progress) {
        if (progress.phase == GetParam())
            replacer.Cancel();
    };
    const core::Outcome outcome = Replace(QByteArray(3 << 20, 'x'));
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_EQ(outcome.text, "The replacement was cancelled");
    ExpectNothingStored();
    EXPECT_EQ(store.Calls(Call::Commit), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, CancelStepsTest,
                         testing::Values(Phase::ReadingStored, Phase::WritingBackup,
                                         Phase::ReadingTemplate, Phase::SendingNew,
                                         Phase::WaitingForDatabase),
                         [](const testing::TestParamInfo<Phase>& phase) {
                             return "Phase" + std::to_string(int(phase.param));
                         });

} // namespace
