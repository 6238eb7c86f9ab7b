// The names status gives the versions it finds: a folder's files, or what journalled runs stored.

#include "cli/Versions.h"
#include "store/ServerHash.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

store::Fingerprint Of(const QByteArray& bytes) {
    store::FingerprintSink sink;
    sink.write(bytes.constData(), bytes.size());
    return sink.result();
}

void Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

TEST(VersionNames, AFoldersRegularFilesByTheirBytes) {
    const QTemporaryDir folder;
    const QDir dir(folder.path());
    Write(dir.filePath("v1.fr3"), "<report>1</report>");
    Write(dir.filePath("v2.fr3"), "<report>2</report>");
    Write(dir.filePath("copy of v2.fr3"), "<report>2</report>");
    ASSERT_TRUE(dir.mkdir("v3.fr3"));
    ASSERT_TRUE(QFile::link(dir.filePath("v1.fr3"), dir.filePath("link.fr3")));

    const cli::VersionNames names = cli::VersionNames::OfFolder(folder.path());
    EXPECT_EQ(names.Find(Of("<report>1</report>"))->Text(), "v1.fr3");
    EXPECT_EQ(names.Find(Of("<report>2</report>"))->Text(), "copy of v2.fr3 = v2.fr3");
    EXPECT_FALSE(names.Find(Of("<report>3</report>")));
    EXPECT_FALSE(
        names.Find({Of("<report>1</report>").size + 1, Of("<report>1</report>").serverHash}))
        << "the length counts as well as the hash";
    EXPECT_THROW(cli::VersionNames::OfFolder(dir.filePath("missing")), platform::FileError);
}

// Only what was stored names a version: the latest run that stored it, on this layout.
TEST(VersionNames, TheRunsThatStoredTheBytes) {
    const QTemporaryDir folder;
    cli::Journal journal(folder.path());
    const auto line = [&](const QString& run, const QString& id, const QString& event,
                          const QString& outcome, const QByteArray& bytes, const QString& file) {
        const store::Fingerprint stored = Of(bytes);
        journal.Append({.stamp = {.run = run},
                        .event = event,
                        .id = id,
                        .after = store::ContentDigest{stored.size, "00"},
                        .serverHashAfter = stored.serverHash,
                        .file = file,
                        .outcome = outcome},
                       {});
    };
    line("r1", "INVOICE", "prepare", "", "one", "/l/one.fr3");
    line("r1", "INVOICE", "outcome", "replaced", "one", "/l/one.fr3");
    line("r2", "INVOICE", "outcome", "failed", "two", "/l/two.fr3");
    line("r3", "INVOICE", "outcome", "dry-run", "three", "/l/three.fr3");
    line("r4", "BILL", "outcome", "replaced", "four", "/l/four.fr3");
    line("r5", "INVOICE", "outcome", "replaced", "one", "/l/one-again.fr3");

    const cli::VersionNames names = cli::VersionNames::OfJournal(journal, "INVOICE");
    EXPECT_EQ(names.Find(Of("one"))->Text(), "/l/one-again.fr3 of run r5");
    for (const char* never : {"two", "three", "four"})
        EXPECT_FALSE(names.Find(Of(never))) << never;

    // A line of an older version, without the server's hash, names nothing.
    journal.Append({.stamp = {.run = "r6"},
                    .event = "outcome",
                    .id = "INVOICE",
                    .after = store::ContentDigest{4, "00"},
                    .file = "/l/five.fr3",
                    .outcome = "replaced"},
                   {});
    EXPECT_FALSE(cli::VersionNames::OfJournal(journal, "INVOICE").Find({4, 0}));
}

} // namespace
