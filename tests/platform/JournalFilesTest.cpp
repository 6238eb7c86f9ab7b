// The files a journal is made of: lines appended by several writers, read back either way, and
// the spellings of the databases its lines name.

#include "Scratch.h"
#include "platform/ConnectionTarget.h"
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using namespace platform;

namespace {

constexpr auto FailureOf = &testbed::ErrorText<FileError>;

QList<QByteArray> Lines(const QString& path, LineReader::Direction direction,
                        QList<qint64>* offsets = nullptr) {
    LineReader reader(path, direction);
    QList<QByteArray> lines;
    while (const std::optional<LineReader::Line> line = reader.next()) {
        lines << line->text;
        if (offsets)
            *offsets << line->offset;
    }
    return lines;
}

class JournalFilesTest : public testing::Test {
protected:
    QString linkTo(const QString& name, const QString& target) const {
        const QString link = scratch.path(name);
        EXPECT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link)), 0);
        return link;
    }

    Scratch scratch;
};

// Writers that opened the file before others appended still add at its end, and a line always
// starts on its own, also after a file left without its last line break.
TEST_F(JournalFilesTest, AppendedLinesNeitherOverwriteNorJoinWhatIsThere) {
    scratch.write("journal", "crashed mid-write");
    AppendFile first(scratch.path("journal"));
    AppendFile second(scratch.path("journal"));
    first.append("one\n");
    second.append("two\n");
    first.append("three\n");
    EXPECT_EQ(scratch.read("journal"), "crashed mid-write\none\ntwo\nthree\n");
}

TEST_F(JournalFilesTest, ASymbolicLinkIsNeitherAppendedToNorReadNorOpened) {
    scratch.write("passwd", "root:x:0:0\n");
    const QString link = linkTo("journal", scratch.path("passwd"));
    const std::string refused =
        QStringLiteral("Cannot open file \"%1\". It is a symbolic link, which is not followed")
            .arg(link)
            .toStdString();
    EXPECT_EQ(FailureOf([&] { AppendFile file(link); }), refused);
    EXPECT_EQ(FailureOf([&] { LineReader reader(link, LineReader::Direction::Forward); }), refused);
    EXPECT_EQ(FailureOf([&] { InputFile file(link, InputFile::Links::Refuse); }), refused);
    EXPECT_EQ(scratch.read("passwd"), "root:x:0:0\n");
}

// Another process holds the lock: the wait ends once the stop is requested, with nothing written.
TEST_F(JournalFilesTest, AWaitForTheLockEndsWhenStopped) {
    scratch.write("journal", "");
    AppendFile file(scratch.path("journal"));
    const FileDescriptor other(::open(QFile::encodeName(scratch.path("journal")), O_RDONLY));
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request_stop();
    });
    EXPECT_EQ(FailureOf([&] { file.append("line\n", stop.get_token()); }),
              "Stream write error. Gave up waiting for its lock");
    EXPECT_EQ(scratch.read("journal"), "");

    ASSERT_EQ(::flock(other.get(), LOCK_UN), 0);
    file.append("line\n", stop.get_token());
    EXPECT_EQ(scratch.read("journal"), "line\n");
}

// Lines longer than the chunks read and a last one with or without its line break come whole,
// both ways.
TEST_F(JournalFilesTest, LinesReadForwardAndBackwardAreTheSameLines) {
    const QByteArray longLine(200000, 'x');
    for (const QByteArray& last : {QByteArray("last"), QByteArray("last\n")}) {
        const QString name = "journal" + QString::number(last.size());
        scratch.write(name, "first\n" + longLine + "\n\n" + last);
        QList<qint64> forwardAt;
        const QList<QByteArray> forward =
            Lines(scratch.path(name), LineReader::Direction::Forward, &forwardAt);
        EXPECT_EQ(forward, (QList<QByteArray>{"first", longLine, "", "last"}));
        EXPECT_EQ(forwardAt, (QList<qint64>{0, 6, 200007, 200008}));

        QList<qint64> backwardAt;
        QList<QByteArray> backward =
            Lines(scratch.path(name), LineReader::Direction::Backward, &backwardAt);
        std::ranges::reverse(backward);
        std::ranges::reverse(backwardAt);
        EXPECT_EQ(backward, forward) << last.size();
        EXPECT_EQ(backwardAt, forwardAt);
    }

    EXPECT_TRUE(Lines(scratch.path("missing"), LineReader::Direction::Backward).isEmpty());
}

TEST(ComparableTarget, SpellingsOfOneDatabaseCompareEqual) {
    const QString target = ComparableTarget("127.0.0.1:/srv/office/KORVEX.FDB");
    for (const char* spelling :
         {" localhost:/srv/office/KORVEX.FDB", "LOCALHOST/3050:/srv/office/KORVEX.FDB",
          "127.0.0.1:/srv//office/./KORVEX.FDB"})
        EXPECT_EQ(ComparableTarget(spelling), target) << spelling;
    for (const char* other :
         {"127.0.0.1:/srv/office/korvex.fdb", "127.0.0.1/3051:/srv/office/KORVEX.FDB",
          "sofia:/srv/office/KORVEX.FDB", "/srv/office/KORVEX.FDB"})
        EXPECT_NE(ComparableTarget(other), target) << other;
    EXPECT_EQ(ComparableTarget("ruse:C:\\Office\\KORVEX.FDB"), "ruse:C:\\Office\\KORVEX.FDB");
}

} // namespace
