#include "platform/Files.h"
#include "FileSystemFaults.h"
#include "Scratch.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

using namespace platform;

namespace {

constexpr qint64 MiB = CopyBufferSize;

constexpr auto FailureOf = &testbed::ErrorText<FileError>;

// A backup as a replacement writes one: the whole source, then finished. Returns its full path.
template <class Source>
QString WriteBackup(Source& source, const QString& reportId, const QString& stamp,
                    const QString& directory) {
    BackupFile file(reportId, stamp, directory);
    CopyAll(source, file);
    file.finish();
    return file.path();
}

std::string OpenFailure(const QString& path, const char* systemText) {
    return QStringLiteral("Cannot open file \"%1\". %2").arg(path, systemText).toStdString();
}

QByteArray Pattern(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(i % 251);
    return bytes;
}

struct MemorySource {
    QByteArray bytes;
    qint64 position = 0;
    qint64 read(char* buffer, qint64 max) {
        const qint64 count = qMin(max, bytes.size() - position);
        memcpy(buffer, bytes.constData() + position, count);
        position += count;
        return count;
    }
};

// Counts the calls of a copy; serves at most perRead bytes a call.
struct CountingSource {
    qint64 size;
    qint64 perRead = MiB;
    int readsWithData = 0;
    qint64 read(char*, qint64 max) {
        const qint64 count = std::min({max, perRead, size});
        size -= count;
        readsWithData += count > 0;
        return count;
    }
};

struct CountingSink {
    std::vector<qint64> writes;
    void write(const char*, qint64 count) { writes.push_back(count); }
};

void ReadAll(InputFile& file) {
    char buffer[4096];
    while (file.read(buffer, sizeof buffer) > 0) {
    }
}

ino_t InodeOf(const QString& path) {
    struct stat status {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    return status.st_ino;
}

int ExitCode(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(CopyAll, WholeSourceInMebibyteChunks) {
    const std::vector<std::pair<qint64, std::vector<qint64>>> cases = {
        {0, {}}, {1, {1}}, {MiB, {MiB}}, {MiB + 1, {MiB, 1}}};
    for (const auto& [size, writes] : cases) {
        CountingSource source{size};
        CountingSink sink;
        CopyAll(source, sink);
        EXPECT_EQ(sink.writes, writes) << size;
        EXPECT_EQ(source.readsWithData, int(writes.size())) << size;
    }
}

TEST(CopyAll, ShortReadsStillMakeWholeChunks) {
    CountingSource source{MiB + 1, 1000};
    CountingSink sink;
    CopyAll(source, sink);
    EXPECT_EQ(sink.writes, (std::vector<qint64>{MiB, 1}));
}

class InputFileTest : public testing::Test {
protected:
    Scratch scratch;
};

TEST_F(InputFileTest, MissingFileNamedByItsFullPath) {
    EXPECT_EQ(FailureOf([&] { InputFile file(scratch.path("missing.fr3")); }),
              OpenFailure(scratch.path("missing.fr3"), "No such file or directory"));
    const testbed::InDirectory in(scratch.path());
    EXPECT_EQ(FailureOf([] { InputFile file("missing.fr3"); }),
              OpenFailure(scratch.path("missing.fr3"), "No such file or directory"));
}

TEST_F(InputFileTest, OnlyRegularFilesAreOpenedAndNothingWaits) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(scratch.path("fifo")).constData(), 0644), 0);
    EXPECT_EQ(FailureOf([&] { InputFile file(scratch.path("fifo")); }),
              OpenFailure(scratch.path("fifo"), "Operation not supported"));
    EXPECT_EQ(FailureOf([] { InputFile file("/dev/zero"); }),
              OpenFailure("/dev/zero", "Operation not supported"));
    EXPECT_EQ(FailureOf([&] { InputFile file(scratch.path()); }),
              OpenFailure(scratch.path(), "Is a directory"));
}

TEST_F(InputFileTest, SharedWithReadersButHeldAgainstExclusiveLockHolders) {
    scratch.write("held.fr3", "layout");
    const QString path = scratch.path("held.fr3");
    const std::string refused = OpenFailure(path, "Resource temporarily unavailable");
    int locked[2], release[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        const bool ok = ::flock(fd, LOCK_EX) == 0 && ::write(locked[1], "L", 1) == 1;
        char end;
        ::close(release[1]);
        while (::read(release[0], &end, 1) > 0) {
        }
        ::_exit(ok ? 0 : 1);
    }
    ::close(release[0]);
    char ready;
    ASSERT_EQ(::read(locked[0], &ready, 1), 1);
    EXPECT_EQ(FailureOf([&] { InputFile file(path); }), refused);
    ::close(release[1]);
    EXPECT_EQ(ExitCode(child), 0);
    ::close(locked[0]);
    ::close(locked[1]);

    // Two rollouts of one template read it side by side; a writer that locks stays out.
    const InputFile holder(path);
    EXPECT_EQ(FailureOf([&] { InputFile file(path); }), "no error");
    const FileDescriptor writer(::open(QFile::encodeName(path).constData(), O_WRONLY));
    EXPECT_NE(::flock(writer.get(), LOCK_EX | LOCK_NB), 0);
}

TEST_F(InputFileTest, TwoGibibytesOrMoreRefusedBeforeReading) {
    const QString path = scratch.path("huge.fr3");
    scratch.write("huge.fr3", {});
    ASSERT_TRUE(QFile::resize(path, InputFile::MaxSize)); // sparse: nothing is stored
    EXPECT_EQ(FailureOf([&] { InputFile file(path); }), "no error");
    ASSERT_TRUE(QFile::resize(path, InputFile::MaxSize + 1));
    EXPECT_EQ(FailureOf([&] { InputFile file(path); }), OpenFailure(path, "File too large"));
}

TEST_F(InputFileTest, FileChangedDuringTheReadIsAReadError) {
    const std::vector<std::pair<const char*, std::function<void(const QString&)>>> changes = {
        {"grown",
         [](const QString& path) {
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::Append));
             file.write("x");
         }},
        {"shrunk",
         [](const QString& path) {
             ASSERT_TRUE(QFile::resize(path, 10));
         }},
        {"touched",
         [](const QString& path) {
             struct stat status;
             ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
             timespec times[2] = {status.st_atim, status.st_mtim};
             times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
             ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
         }},
    };
    for (const auto& [name, change] : changes) {
        scratch.write(name, Pattern(100));
        InputFile file(scratch.path(name));
        char start[10];
        ASSERT_EQ(file.read(start, sizeof start), 10);
        change(scratch.path(name));
        EXPECT_EQ(FailureOf([&] { ReadAll(file); }), "Stream read error") << name;
    }
}

// A file that keeps growing would otherwise fill the memory up to the size limit before the
// final check refuses it.
TEST_F(InputFileTest, AGrowingFileFailsAtTheFirstReadPastItsOpeningSize) {
    scratch.write("growing", Pattern(100));
    InputFile file(scratch.path("growing"));
    QFile appender(scratch.path("growing"));
    ASSERT_TRUE(appender.open(QIODevice::Append));
    ASSERT_EQ(appender.write(Pattern(100)), 100);
    appender.close();
    char buffer[4096];
    EXPECT_EQ(FailureOf([&] { file.read(buffer, sizeof buffer); }), "Stream read error");
}

class BackupFileTest : public testing::Test {
protected:
    Scratch scratch;
};

TEST_F(BackupFileTest, HoldsTheSourceByteForByte) {
    const QByteArray content = Pattern(MiB + 3);
    scratch.write("chosen.fr3", content);
    InputFile chosen(scratch.path("chosen.fr3"));
    EXPECT_EQ(WriteBackup(chosen, "PAYORDER_K", "230922080503", scratch.path()),
              scratch.path("B_PAYORDER_K_230922080503.FR3"));
    EXPECT_EQ(scratch.read("B_PAYORDER_K_230922080503.FR3"), content);
}

TEST_F(BackupFileTest, NeverReplacesOrFollowsWhatIsThere) {
    scratch.write("B_VATDEC_230922080503.FR3", "first");
    scratch.write("B_VATDEC_230922080503_2.FR3", "second");
    scratch.write("target", "target");
    ASSERT_TRUE(QFile::link(scratch.path("target"), scratch.path("B_VATDEC_230922080503_3.FR3")));
    ASSERT_TRUE(QFile::link(scratch.path("absent"), scratch.path("B_VATDEC_230922080503_4.FR3")));
    MemorySource source{"new"};
    EXPECT_EQ(WriteBackup(source, "VATDEC", "230922080503", scratch.path()),
              scratch.path("B_VATDEC_230922080503_5.FR3"));
    EXPECT_EQ(scratch.read("B_VATDEC_230922080503_5.FR3"), "new");
    EXPECT_EQ(scratch.read("B_VATDEC_230922080503.FR3"), "first");
    EXPECT_EQ(scratch.read("B_VATDEC_230922080503_2.FR3"), "second");
    EXPECT_EQ(scratch.read("target"), "target");
    EXPECT_FALSE(QFile::exists(scratch.path("absent")));
}

// A rollout to many offices backs one identifier up many times within a second.
TEST_F(BackupFileTest, NamesDoNotRunOutWithinASecond) {
    scratch.write("B_INVOICE_S.FR3", {});
    for (int attempt = 2; attempt <= 150; ++attempt)
        scratch.write(QStringLiteral("B_INVOICE_S_%1.FR3").arg(attempt), {});
    MemorySource source{"new"};
    EXPECT_EQ(WriteBackup(source, "INVOICE", "S", scratch.path()),
              scratch.path("B_INVOICE_S_151.FR3"));
    EXPECT_EQ(scratch.read("B_INVOICE_S_151.FR3"), "new");
}

// Root may write into any directory, so the place that cannot take a file lies under a
// regular file.
TEST_F(BackupFileTest, UncreatableNamedByTheFullPathTried) {
    scratch.write("plain", {});
    EXPECT_EQ(FailureOf([&] { BackupFile file("INVOICE", "S", scratch.path("plain")); }),
              "Cannot create file \"" + scratch.path("plain/B_INVOICE_S.FR3").toStdString() +
                  "\". Not a directory");
}

TEST_F(BackupFileTest, WriteFailingPartWayLeavesNothing) {
    const pid_t child = ::fork();
    if (child == 0) {
        ReportFileSizeLimitAsWriteError();
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        MemorySource source{Pattern(5000)};
        ::_exit(FailureOf([&] { WriteBackup(source, "RPTBILL", "S", scratch.path()); }) ==
                        "Stream write error"
                    ? 0
                    : 1);
    }
    EXPECT_EQ(ExitCode(child), 0);
    EXPECT_EQ(scratch.entries(), QStringList());
}

// A tmpfs of its own size in a mount namespace of this test process's own: nothing else sees it,
// and it goes when the process does.
class SmallFolder {
public:
    SmallFolder(const QString& path, qint64 bytes) : path_(QFile::encodeName(path)) {
        const QByteArray options = "size=" + QByteArray::number(bytes);
        mounted_ = ::unshare(CLONE_NEWNS) == 0 &&
                   ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   ::mount("korvex-test", path_.constData(), "tmpfs", 0, options.constData()) == 0;
    }
    ~SmallFolder() {
        if (mounted_)
            ::umount2(path_.constData(), MNT_DETACH);
    }
    SmallFolder(const SmallFolder&) = delete;
    SmallFolder& operator=(const SmallFolder&) = delete;

    bool mounted() const { return mounted_; }

private:
    QByteArray path_;
    bool mounted_;
};

TEST_F(BackupFileTest, AFullFolderGetsNoPartialBackup) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    ASSERT_TRUE(QDir(scratch.path()).mkdir("full"));
    const QString folder = scratch.path("full");
    const SmallFolder small(folder, MiB);
    ASSERT_TRUE(small.mounted()) << std::strerror(errno);
    MemorySource large{Pattern(3 * MiB)};
    try {
        WriteBackup(large, "PAYORDER_K", "S", folder);
        ADD_FAILURE() << "a backup larger than the folder was written";
    } catch (const FileError& error) {
        EXPECT_STREQ(error.what(), "Stream write error");
        EXPECT_EQ(error.reason(), "No space left on device");
    }
    EXPECT_EQ(scratch.entries("full"), QStringList());

    // Nothing of the failed one is left to take a name or the space.
    for (const char* expected : {"B_PAYORDER_K_S.FR3", "B_PAYORDER_K_S_2.FR3"}) {
        MemorySource fits{Pattern(MiB / 2)};
        EXPECT_EQ(WriteBackup(fits, "PAYORDER_K", "S", folder), folder + '/' + expected);
    }
    EXPECT_EQ(scratch.entries("full"), QStringList({"B_PAYORDER_K_S.FR3", "B_PAYORDER_K_S_2.FR3"}));
}

TEST_F(BackupFileTest, TheFileThenItsFolderAreSyncedBeforeTheBackupIsDone) {
    FileSystemFaults faults;
    MemorySource source{Pattern(5000)};
    const QString backup = WriteBackup(source, "PAYORDER_K", "S", scratch.path());
    ASSERT_EQ(faults.synced.size(), 2u);
    EXPECT_FALSE(faults.synced[0].directory);
    EXPECT_EQ(faults.synced[0].inode, InodeOf(backup));
    EXPECT_EQ(faults.synced[0].size, 5000);
    EXPECT_TRUE(faults.synced[1].directory);
    EXPECT_EQ(faults.synced[1].inode, InodeOf(scratch.path()));
}

TEST_F(BackupFileTest, AFailedSyncIsAWriteErrorAndLeavesNothing) {
    for (int failing : {1, 2}) {
        FileSystemFaults faults;
        faults.failingSync = failing;
        MemorySource source{Pattern(5000)};
        EXPECT_EQ(FailureOf([&] { WriteBackup(source, "PAYORDER_K", "S", scratch.path()); }),
                  "Stream write error")
            << failing;
        EXPECT_EQ(scratch.entries(), QStringList()) << failing;
    }
}

TEST_F(BackupFileTest, WithoutHardLinksTheNameStillNeverReplaces) {
    scratch.write("B_VATDEC_S.FR3", "first");
    FileSystemFaults faults;
    faults.withoutHardLinks = true;
    MemorySource source{"new"};
    EXPECT_EQ(WriteBackup(source, "VATDEC", "S", scratch.path()), scratch.path("B_VATDEC_S_2.FR3"));
    EXPECT_EQ(scratch.read("B_VATDEC_S.FR3"), "first");
    EXPECT_EQ(scratch.read("B_VATDEC_S_2.FR3"), "new");
    EXPECT_EQ(scratch.entries().size(), 2);
}
