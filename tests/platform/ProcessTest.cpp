#include "platform/Process.h"
#include "Scratch.h"
#include "platform/BackupName.h"
#include "platform/ConnectionTarget.h"

#include <QLocale>
#include <cstdlib>

using namespace platform;

TEST(ConnectionTarget, FirstArgumentIsTakenAsItIs) {
    EXPECT_EQ(ConnectionTarget({"korvex", " srv:/Data/Korvex.fdb ", "second"}, "/srv/office"),
              " srv:/Data/Korvex.fdb ");
    EXPECT_EQ(ConnectionTarget({"korvex", "база.fdb"}, "/"), "база.fdb");
}

TEST(ConnectionTarget, OtherwiseTheDatabaseInTheWorkingDirectory) {
    EXPECT_EQ(ConnectionTarget({"korvex"}, "/srv/office"), "127.0.0.1:/srv/office/KORVEX.FDB");
    EXPECT_EQ(ConnectionTarget({"korvex", ""}, "/srv/office"), "127.0.0.1:/srv/office/KORVEX.FDB");
    EXPECT_EQ(ConnectionTarget({"korvex"}, "/"), "127.0.0.1://KORVEX.FDB");
}

TEST(WorkingDirectory, IsTheRealDirectoryNotTheShellsName) {
    const Scratch scratch;
    ASSERT_TRUE(QDir(scratch.path()).mkdir("Отчети"));
    ASSERT_TRUE(QFile::link(scratch.path("Отчети"), scratch.path("link")));
    const QByteArray shellName = qgetenv("PWD");
    {
        const testbed::InDirectory in(scratch.path("link"));
        qputenv("PWD", QFile::encodeName(scratch.path("link")));
        EXPECT_EQ(WorkingDirectory(), scratch.path("Отчети"));
    }
    {
        const testbed::InDirectory in("/");
        EXPECT_EQ(WorkingDirectory(), "/");
    }
    qputenv("PWD", shellName);
}

TEST(ApplicationTitle, CutAtTheFirstDotAndLowerCasedAfterTheFirstCharacter) {
    EXPECT_EQ(ApplicationTitle("KORVEX.EXE"), "Korvex");
    EXPECT_EQ(ApplicationTitle("korvex"), "korvex");
    EXPECT_EQ(ApplicationTitle("kORVEX.Report.bin"), "korvex");
    EXPECT_EQ(ApplicationTitle("ОТЧЕТИ"), "Отчети");
}

TEST(TimeStamp, TwelveDigitsWhateverTheLocale) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt)); // digits of its own
    EXPECT_EQ(TimeStamp(QDateTime(QDate(2023, 9, 22), QTime(8, 5, 3, 999))), "230922080503");
    EXPECT_EQ(TimeStamp(QDateTime(QDate(2000, 1, 1), QTime(0, 0))), "000101000000");
    EXPECT_EQ(TimeStamp(QDateTime(QDate(2100, 12, 31), QTime(23, 59, 59))), "001231235959");
    QLocale::setDefault(saved);
}
