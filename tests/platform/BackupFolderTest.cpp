// Each database's own backup folder: its name, its making, the newest backup found in it, and
// whether a target is on this machine.

#include "platform/BackupFolder.h"
#include "Scratch.h"
#include "platform/ConnectionTarget.h"
#include "platform/Files.h"

#include <QFile>
#include <QSet>

using namespace platform;

namespace {

constexpr auto FailureOf = &testbed::ErrorText<FileError>;

// Safe on any file system: no separator, control or reserved character, not hidden, "." or "..",
// within 255 bytes.
void ExpectSafe(const QString& name) {
    SCOPED_TRACE(name.toStdString());
    EXPECT_FALSE(name.isEmpty());
    EXPECT_LE(name.toUtf8().size(), 255);
    EXPECT_FALSE(name.startsWith(u'.') || name.startsWith(u'-') || name.endsWith(u'.'));
    for (const QChar c : name)
        EXPECT_TRUE(c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_')
            << int(c.unicode());
}

TEST(BackupFolderName, IsTheTargetReadableAndSafeWithAHashOfIt) {
    const QString name = BackupFolderName("sofia:/srv/office/KORVEX.FDB");
    EXPECT_TRUE(name.startsWith("sofia_srv_office_KORVEX.FDB_")) << name.toStdString();
    EXPECT_EQ(name.size(), QString("sofia_srv_office_KORVEX.FDB_").size() + 16);
    EXPECT_TRUE(BackupFolderName("/srv/Фирма/KORVEX.FDB").startsWith("srv_Фирма_KORVEX.FDB_"));
    const QString unsafe[] = {"srv:C:\\data\\a.fdb",
                              "srv/3051:a.fdb",
                              "..",
                              ".",
                              "/",
                              ":",
                              "*?<>|\"",
                              QString::fromLatin1("a\0b\x01\x7f\n.fdb", 11),
                              "srv:/../../etc/passwd",
                              ".hidden:/x",
                              "-rf:/x",
                              QString(300, u'я') + ":/x",
                              QString(300, u'/'),
                              "😀:/😀.fdb"};
    for (const QString& target : unsafe)
        ExpectSafe(BackupFolderName(target));
    EXPECT_EQ(BackupFolderName("/").size(), 16) << "nothing readable: the hash alone";
}

TEST(BackupFolderName, OneDatabaseOneFolderTwoDatabasesNever) {
    EXPECT_EQ(BackupFolderName("127.0.0.1:/srv/a.fdb"), BackupFolderName(" localhost:/srv/a.fdb"));
    EXPECT_EQ(BackupFolderName("127.0.0.1:/srv/a.fdb"),
              BackupFolderName("LOCALHOST/3050:/srv//./a.fdb"));
    // Each pair reads alike once the unsafe characters are gone, or differs only in case.
    const QString distinct[] = {"srv:/data/a.fdb",  "srv:C:\\data\\a.fdb", "srv:data/a.fdb",
                                "srv/3051:a.fdb",   "srv:3051/a.fdb",      "srv:/data/A.fdb",
                                "srv:/data/a.FDB",  "SRV:/data/a.fdb_",    "/data/a.fdb",
                                "srv:/data/a?fdb",  "srv:/data/a*fdb",     "srv:/data/a\nfdb",
                                QString(300, u'x'), QString(301, u'x'),    "srv:/data//a.fdb/.."};
    QSet<QString> folded;
    for (const QString& target : distinct)
        folded.insert(BackupFolderName(target).toLower());
    EXPECT_EQ(folded.size(), std::size(distinct)) << "also on a file system that ignores case";
}

TEST(BackupFolder, MakesTheFolderAndKeepsItOnlyWithABackupInIt) {
    Scratch scratch;
    const QString target = "sofia:/srv/office/KORVEX.FDB";
    const QString name = BackupFolderName(target);
    {
        const BackupFolder unused(scratch.path(), target);
        EXPECT_EQ(unused.path(), scratch.path(name));
        EXPECT_EQ(scratch.entries(), QStringList{name});
    }
    EXPECT_TRUE(scratch.entries().isEmpty()) << "made and left empty: removed";
    {
        const BackupFolder folder(scratch.path(), target);
        const BackupFolder again(scratch.path(), " sofia/3050:/srv/office/KORVEX.FDB");
        EXPECT_EQ(again.path(), folder.path());
        BackupFile backup("INVOICE", "250101000000", folder.path());
        backup.finish();
    }
    EXPECT_EQ(scratch.entries(name), QStringList{"B_INVOICE_250101000000.FR3"});
    ASSERT_TRUE(QFile::remove(scratch.path(name + "/B_INVOICE_250101000000.FR3")));
    { const BackupFolder existing(scratch.path(), target); }
    EXPECT_EQ(scratch.entries(), QStringList{name}) << "one it did not make stays";
}

TEST(BackupFolder, RefusesANameTakenByAFileOrALinkAndAMissingBackupFolder) {
    Scratch scratch;
    const QString file = "ruse:/x.fdb";
    scratch.write(BackupFolderName(file), "not a folder");
    EXPECT_EQ(
        FailureOf([&] { BackupFolder folder(scratch.path(), file); }),
        ("Cannot create folder \"" + scratch.path(BackupFolderName(file)) + "\". Not a directory")
            .toStdString());
    const QString linked = "varna:/x.fdb";
    ASSERT_TRUE(QDir(scratch.path()).mkdir("elsewhere"));
    ASSERT_TRUE(QFile::link(scratch.path("elsewhere"), scratch.path(BackupFolderName(linked))));
    EXPECT_TRUE(FailureOf([&] {
                    BackupFolder folder(scratch.path(), linked);
                }).ends_with("Not a directory"));
    // Only the database's own level is made: a missing backup folder is a mistake to report.
    const QString missing = scratch.path("missing");
    EXPECT_EQ(FailureOf([&] { BackupFolder folder(missing, file); }),
              ("Cannot create folder \"" + missing + u'/' + BackupFolderName(file) +
               "\". No such file or directory")
                  .toStdString());
}

TEST(NewestBackupOf, TakesTheDatabasesOwnFolderThenTheFlatOneForOneDatabase) {
    Scratch scratch;
    const QString sofia = "sofia:/k.fdb";
    const QString own = BackupFolderName(sofia);
    ASSERT_TRUE(QDir(scratch.path()).mkdir(own));
    scratch.write("B_INVOICE_250101000000.FR3", "flat, old");
    EXPECT_EQ(NewestBackupOf("INVOICE", scratch.path(), sofia, FlatBackups::Consider),
              scratch.path("B_INVOICE_250101000000.FR3"));
    EXPECT_EQ(testbed::ErrorText<std::runtime_error>(
                  [&] { NewestBackupOf("INVOICE", scratch.path(), sofia, FlatBackups::Ignore); }),
              ("No backup of INVOICE (B_INVOICE_*.FR3) in " + scratch.path(own)).toStdString());
    EXPECT_EQ(testbed::ErrorText<std::runtime_error>(
                  [&] { NewestBackupOf("VATDEC", scratch.path(), sofia, FlatBackups::Consider); }),
              ("No backup of VATDEC (B_VATDEC_*.FR3) in " + scratch.path(own) + " or in " +
               scratch.path())
                  .toStdString());

    for (const char* name : {"B_INVOICE_240101000000.FR3", "B_INVOICE_240101000000_10.FR3",
                             "B_INVOICE_240101000000_9.FR3", "B_VATDEC_260101000000.FR3",
                             "B_INVOICE_X_260101000000.FR3", "B_INVOICE_2601010000.FR3"})
        scratch.write(own + u'/' + name, name);
    // Its own folder first, even where the flat one holds a newer name: that may be another's.
    const QString newest = scratch.path(own + "/B_INVOICE_240101000000_10.FR3");
    EXPECT_EQ(NewestBackupOf("INVOICE", scratch.path(), sofia, FlatBackups::Consider), newest);
    EXPECT_EQ(NewestBackupOf("INVOICE", scratch.path(), " sofia:/k.fdb", FlatBackups::Ignore),
              newest);
    EXPECT_EQ(NewestBackup("INVOICE", scratch.path("none")), std::nullopt);
}

TEST(IsLocalTarget, NoHostLoopbackAndLocalhostInAnySpellingAreLocal) {
    for (const char* local :
         {"/srv/k.fdb", "k.fdb", "C:\\office\\k.fdb", "localhost:/k.fdb", " LocalHost/3051:/k.fdb",
          "127.0.0.1:/k.fdb", "127.8.9.10/3050:/k.fdb", "127.1:/k.fdb", "[::1]:/k.fdb",
          "[::1]/3051:/k.fdb", "[0:0:0:0:0:0:0:1]:/k.fdb", "[::ffff:127.0.0.1]:/k.fdb",
          "inet://localhost:3051//k.fdb", "INET4://127.0.0.1/k.fdb", "inet6://[::1]:3050/k.fdb",
          "xnet://k.fdb"})
        EXPECT_TRUE(IsLocalTarget(local)) << local;
    for (const char* remote :
         {"sofia:/k.fdb", "sofia/3050:/k.fdb", "10.0.0.1:/k.fdb", "128.0.0.1:/k.fdb",
          "localhost.example.bg:/k.fdb", "127.0.0.1.example.bg:/k.fdb", "[::2]:/k.fdb",
          "[fe80::1]/3050:/k.fdb", "inet://sofia:3050/k.fdb", "inet://127.0.0.2.nip.io/k.fdb",
          "wnet://sofia/k.fdb", "\\\\sofia\\k.fdb", "ruse:C:\\office\\k.fdb"})
        EXPECT_FALSE(IsLocalTarget(remote)) << remote;
}

} // namespace
