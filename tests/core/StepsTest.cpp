// The core's steps against a store in memory, without a server.

#include "MemoryStore.h"
#include "core/Replacement.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using Call = coretest::MemoryStore::Call;
using core::Phase;
using Result = core::Outcome::Result;

namespace {

store::ContentDigest DigestOf(const QByteArray& bytes) {
    return {bytes.size(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()};
}

class StepsTest : public testing::Test {
protected:
    StepsTest() {
        replacer.OnProgress = [&](const core::Progress& progress) {
            if (phases.empty() || phases.back() != progress.phase)
                phases.push_back(progress.phase);
            if (int(progress.phase) == cancelAt)
                replacer.Cancel();
        };
    }
    core::Outcome Replace(const QByteArray& content, core::ReplaceOptions options = {}) {
        QFile file(QDir(files.path()).filePath("new.fr3"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        if (options.backupDirectory.isEmpty())
            options.backupDirectory = files.path();
        return replacer.Replace("INVOICE", file.fileName(), options);
    }
    void ExpectNothingStored() {
        EXPECT_EQ(store.committed, "old");
        EXPECT_FALSE(store.pending);
    }

    coretest::MemoryStore store;
    QTemporaryDir files;
    core::Replacer replacer{store, [] {
                                return QDateTime(QDate(2023, 9, 22), QTime(8, 5, 3));
                            }};
    std::vector<Phase> phases;
    int cancelAt = -2; // a phase
};

TEST_F(StepsTest, BacksUpWritesPostsReadsBackAndCommitsInThisOrder) {
    EXPECT_EQ(Replace(QByteArray(40000, 'n'), {{}, false, true}).result, Result::Replaced);
    EXPECT_EQ(phases, std::vector<Phase>({Phase::ReadingStored, Phase::WritingBackup,
                                          Phase::ReadingTemplate, Phase::SendingNew,
                                          Phase::WaitingForDatabase}));
    EXPECT_EQ(store.log, std::vector<Call>({Call::Locate, Call::ReadStored, Call::Write, Call::Post,
                                            Call::ReadBack, Call::Commit}));
    EXPECT_EQ(store.committed, QByteArray(40000, 'n'));
    EXPECT_EQ(QDir(files.path()).entryList({"B_*"}), QStringList{"B_INVOICE_230922080503.FR3"});
    // Identical content and a dry run store nothing, and only the dry run backs up.
    store.log.clear();
    EXPECT_EQ(Replace(store.committed, {{}, false, false, true}).result, Result::Unchanged);
    EXPECT_EQ(Replace("new", {{}, true}).result, Result::DryRun);
    EXPECT_EQ(QDir(files.path()).entryList({"B_*"}).size(), 2);
    EXPECT_EQ(store.log.back(), Call::RollBack);
    EXPECT_EQ(store.Calls(Call::Write), 0);
}

// Before the post an error with nothing touched, from the post on a failure rolled back; a lost
// commit is settled by what a new connection sees, or is in doubt.
TEST_F(StepsTest, EachFailureLeavesTheStoreAsItWas) {
    EXPECT_EQ(Replace("new", {"/nonexistent"}).result, Result::Error);
    EXPECT_EQ(replacer.Replace("MISSING", files.filePath("new.fr3")).text, "no MISSING");
    store.Fail<store::NotUnique>(Call::Locate, 1, "two rows");
    EXPECT_EQ(Replace("new").text, "two rows");
    EXPECT_EQ(store.Calls(Call::Write), 0);
    const auto failure = [&](Call call, auto error) {
        store.Fail<decltype(error)>(call, 1, "refused");
        const core::Outcome outcome = Replace("new");
        EXPECT_EQ(outcome.result, Result::Failed);
        EXPECT_EQ(store.log.back(), Call::RollBack);
        ExpectNothingStored();
        return outcome.text;
    };
    EXPECT_EQ(failure(Call::Post, store::NotUnique("")), "refused");
    EXPECT_EQ(failure(Call::Post, store::LockTimeout("")), "refused");
    EXPECT_EQ(failure(Call::Commit, store::ConnectionLost("")), "refused");
    EXPECT_EQ(failure(Call::Commit, store::CommitInDoubt("")), "refused");
    EXPECT_TRUE(
        failure(Call::Post, store::UpdateConflict(""))
            .startsWith("refused\nAnother user changed this layout after the tool started"));
    store.Fail<store::CommitInDoubt>(Call::Commit, 1, "lost");
    store.seenAfterLostCommit = "new";
    EXPECT_EQ(Replace("new").result, Result::Replaced);
    store.Fail<store::CommitInDoubt>(Call::Commit, 1, "lost");
    store.Fail<store::ConnectionLost>(Call::Check, 1, "no answer");
    EXPECT_TRUE(Replace("new").text.contains("(lost), and a new connection could not tell whether "
                                             "it went through (no answer)"));
}

// The journal's hook sees what is about to be stored; failing, it keeps the commit from happening.
// An expected state is checked on the one read of the stored layout that the backup takes.
TEST_F(StepsTest, AHookBeforeTheCommitAndAnExpectedStateCanStopItWithNothingStored) {
    core::ReplaceOptions options;
    options.digests = true;
    options.beforeCommit = [&](const core::Outcome& prepared) {
        EXPECT_EQ(prepared.stored.size, 3);
        EXPECT_EQ(prepared.replacement.sha256, DigestOf("new").sha256);
        EXPECT_TRUE(QFile::exists(prepared.backupPath));
        throw std::runtime_error("no journal");
    };
    core::Outcome outcome = Replace("new", options);
    EXPECT_EQ(outcome.result, Result::Failed);
    EXPECT_EQ(outcome.text, "no journal");
    EXPECT_EQ(store.Calls(Call::Commit), 0);
    EXPECT_EQ(store.log.back(), Call::RollBack);
    ExpectNothingStored();
    EXPECT_TRUE(QFile::exists(outcome.backupPath));

    options.beforeCommit = nullptr;
    options.skipIdenticalContent = true;
    options.expectedStored = DigestOf("other");
    store.log.clear();
    outcome = Replace("new", options);
    EXPECT_EQ(outcome.result, Result::Changed);
    EXPECT_EQ(outcome.stored, DigestOf("old"));
    EXPECT_EQ(store.log, std::vector<Call>({Call::Locate, Call::ReadStored, Call::RollBack}));
    EXPECT_EQ(QDir(files.path()).entryList({"B_*"}).size(), 1);
    // Already holding the file's bytes is no change by others.
    EXPECT_EQ(Replace("old", options).result, Result::Unchanged);
    options.expectedStored = DigestOf("old");
    EXPECT_EQ(Replace("new", options).result, Result::Replaced);
    EXPECT_EQ(store.committed, "new");
}

// Identical content is told by the bytes as the backup reads them, not by their count: equal
// sizes with a byte apart, also past the first chunk read, are replaced; equal bytes leave nothing
// stored and no backup, with the file's digest.
TEST_F(StepsTest, IdenticalContentIsToldByEveryByte) {
    core::ReplaceOptions options;
    options.skipIdenticalContent = true;
    options.digests = true;
    EXPECT_EQ(Replace("olD", options).result, Result::Replaced);
    EXPECT_EQ(store.committed, "olD");
    core::Outcome outcome = Replace("olD", options);
    EXPECT_EQ(outcome.result, Result::Unchanged);
    EXPECT_EQ(outcome.replacement, DigestOf("olD"));
    EXPECT_EQ(store.Calls(Call::Write), 1);

    const QByteArray large(3 << 20, 'x');
    store.committed = large;
    QByteArray lastApart = large;
    lastApart.back() = 'y';
    EXPECT_EQ(Replace(lastApart, options).result, Result::Replaced);
    EXPECT_EQ(store.committed, lastApart);
    EXPECT_EQ(Replace(lastApart, options).result, Result::Unchanged);
    EXPECT_EQ(QDir(files.path()).entryList({"B_*"}).size(), 2);
}

class CancelStepsTest : public StepsTest, public testing::WithParamInterface<int> {};

// Cancelled as each step starts, or before the work begins (-1: that cancel must not be lost).
TEST_P(CancelStepsTest, StoresNothing) {
    cancelAt = GetParam();
    if (cancelAt < 0)
        replacer.Cancel();
    const core::Outcome outcome = Replace(QByteArray(3 << 20, 'x'));
    EXPECT_EQ(outcome.text, "The replacement was cancelled");
    ExpectNothingStored();
    EXPECT_GE(store.cancels, 1);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, CancelStepsTest,
                         testing::Range(-1, int(Phase::WaitingForDatabase) + 1));

} // namespace
