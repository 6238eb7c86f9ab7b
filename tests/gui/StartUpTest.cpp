// Start-up and shutdown of the real executable. A probe preloaded into it reports each message
// box and the main window once shown, answers the box and closes the window, so every run goes
// through the program's own start-up, event loop and shutdown.

#include "datamodule/Data.h"
#include "db/Statement.h"
#include "gui/Main.h"
#include "support/AppFixture.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

using apptest::TargetFolder;
using apptest::WorkingDirectory;

namespace {

constexpr int RunTimeoutMs = 60000;

struct ToolRun {
    int exitCode = -1;
    std::vector<QJsonObject> seen; // boxes and the window, in the order they came up
    QString errors;

    const QJsonObject* window() const {
        for (const QJsonObject& what : seen)
            if (what.contains("window"))
                return &what;
        return nullptr;
    }
};

// Runs the tool as a user would start it, in this folder, optionally behind a shell command
// that prepares its surroundings (e.g. a mount namespace).
ToolRun RunTool(const QString& folder, const QStringList& arguments = {},
                const QString& wrapper = {}) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    tool.setProcessEnvironment(env);
    tool.setWorkingDirectory(folder);
    const QStringList command =
        QStringList{"env", "LD_PRELOAD=" KORVEX_PRELOAD_FIRST KORVEX_BOX_PROBE, KORVEX_BINARY} +
        arguments;
    if (wrapper.isEmpty())
        tool.start(command[0], command.mid(1));
    else // the wrapper runs the command as "$0" "$@"
        tool.start("sh", QStringList{"-c", wrapper} + command);
    ToolRun run;
    if (!tool.waitForFinished(RunTimeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        ADD_FAILURE() << "the tool did not end: " << tool.readAllStandardOutput().toStdString();
        return run;
    }
    run.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    for (const QByteArray& line : tool.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            run.seen.push_back(QJsonDocument::fromJson(line).object());
    run.errors = QString::fromUtf8(tool.readAllStandardError());
    return run;
}

QJsonObject Menus(bool dataEnabled) {
    return {{"N1", dataEnabled}, {"N3", true}, {"N8", false}, {"N15", false}, {"N14", false}};
}

void ExpectWindow(const ToolRun& run, const QString& label, bool dataEnabled) {
    const QJsonObject* window = run.window();
    ASSERT_TRUE(window) << run.errors.toStdString();
    EXPECT_EQ((*window)["window"].toString(), "Korvex - Report Manager - 1.23.9.4");
    EXPECT_EQ((*window)["label"].toString(), label);
    EXPECT_TRUE((*window)["labelPlainText"].toBool());
    EXPECT_EQ(QJsonDocument((*window)["menusEnabled"].toObject()).toJson().toStdString(),
              QJsonDocument(Menus(dataEnabled)).toJson().toStdString());
    EXPECT_EQ((*window)["clientWidth"].toInt(), 575);
    EXPECT_EQ((*window)["clientHeight"].toInt(), 302);
    EXPECT_LE((*window)["offCentre"].toInt(), 1);
    EXPECT_EQ(run.exitCode, 0);
}

// The start-up error box: before any window shows, its text on a line after a carriage return.
void ExpectStartUpError(const ToolRun& run, const QString& containing) {
    ASSERT_GE(run.seen.size(), 2u) << run.errors.toStdString();
    const QJsonObject& box = run.seen[0];
    EXPECT_EQ(box["box"].toString(), "Error");
    EXPECT_EQ(box["icon"].toInt(), int(QMessageBox::Critical));
    EXPECT_EQ(box["buttons"].toArray(), QJsonArray{"OK"});
    EXPECT_TRUE(box["plainText"].toBool());
    EXPECT_EQ(box["visibleWindows"].toArray(), QJsonArray{});
    const QString text = box["text"].toString();
    EXPECT_TRUE(text.startsWith("\r") && !text.startsWith("\r\r")) << text.toStdString();
    EXPECT_TRUE(text.contains(containing)) << text.toStdString();
}

TEST(StartUpTest, ConnectsToTheDefaultTargetAndShowsTheFullWindow) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const TargetFolder folder(scratch);
    const ToolRun run = RunTool(folder.path());
    ASSERT_EQ(run.seen.size(), 1u) << run.errors.toStdString();
    ExpectWindow(run, "Database: " + folder.target(), true);
}

TEST(StartUpTest, WithoutAServerTheErrorComesFirstAndTheDataMenuIsGreyed) {
    QTemporaryDir folder;
    const ToolRun run = RunTool(folder.path(), {"127.0.0.1/1:/tmp/KORVEX.FDB"});
    ExpectStartUpError(run, "Unable to complete network request to host \"127.0.0.1\"");
    ExpectWindow(run, "Database:", false);
}

TEST(StartUpTest, WithoutTableReportsTheLabelNamesTheTargetAndTheServerSaysWhy) {
    fbtest::ScratchDatabase scratch;
    QTemporaryDir folder;
    const ToolRun run = RunTool(folder.path(), {scratch.target()});
    ExpectStartUpError(run, "Table unknown\r\nREPORTS");
    ExpectWindow(run, "Database: " + scratch.target(), false);
}

TEST(StartUpTest, MarkupInTargetAndServerMessageShowsLiterally) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const TargetFolder folder(scratch, "<b>x</b>");
    const ToolRun connected = RunTool(folder.path());
    ExpectWindow(connected, "Database: " + folder.target(), true);

    const QString missing = folder.path() + "/<i>missing</i>.fdb";
    const ToolRun failed = RunTool(folder.path(), {"127.0.0.1:" + missing});
    ExpectStartUpError(failed, missing); // shown as plain text, checked there
}

// The library is hidden from the loader in a mount namespace of the tool's own: an empty file
// stands in its place.
TEST(StartUpTest, MissingClientLibraryStopsBeforeAnyWindowWithExitCode1) {
    QTemporaryDir folder;
    const ToolRun run = RunTool(folder.path(), {},
                                "exec unshare -m sh -c 'mount --bind /dev/null "
                                "\"$(realpath /usr/lib/x86_64-linux-gnu/libfbclient.so.2)\" && "
                                "exec \"$0\" \"$@\"' \"$0\" \"$@\"");
    ASSERT_EQ(run.seen.size(), 1u) << run.errors.toStdString();
    const QJsonObject& box = run.seen[0];
    EXPECT_EQ(box["box"].toString(), "Application Error");
    EXPECT_EQ(box["text"].toString(),
              "Error reading IBD.ServerType: InterBase library libfbclient.so.2 not found in the "
              "path. Please install InterBase to use this functionality");
    EXPECT_EQ(box["buttons"].toArray(), QJsonArray{"OK"});
    EXPECT_EQ(box["visibleWindows"].toArray(), QJsonArray{});
    EXPECT_EQ(run.exitCode, 1);
}

TEST(ShutdownTest, DestroyingTheDataModuleCommitsItsActiveTransaction) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const TargetFolder folder(scratch);
    const WorkingDirectory inFolder(folder.path());
    {
        TMainF window;
        TDM dm;
        window.UseDataModule(dm);
        dm.IBReports.Open();
        db::Statement update(dm.IBD, dm.IBT);
        update.Prepare("update REPORTS set DESCR = NULL where ID = 'INVOICE'");
        update.Execute();
        ASSERT_TRUE(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE").has_value());
        EXPECT_EQ(window.lDatabase->text(), "Database: " + folder.target());
    }
    EXPECT_FALSE(scratch.readBlob("REPORTS", "DESCR", "ID", "INVOICE").has_value());
}

} // namespace

namespace {

// Attachments to the scratch database other than the asking one: the tool's, once connected.
int OtherAttachments(fbtest::ScratchDatabase& scratch) {
    return std::stoi(scratch
                         .queryValue("select count(*) from mon$attachments where "
                                     "mon$system_flag = 0 and "
                                     "mon$attachment_id <> current_connection")
                         .value_or("0"));
}

} // namespace

// A session logging out sends SIGTERM; the client library's own handler for it used to tear the
// library down under the running program, which then crashed instead of shutting down.
TEST(ShutdownTest, TerminationSignalEndsTheRunThroughTheOrdinaryShutdown) {
    fbtest::ScratchDatabase scratch;
    apptest::CreateReports(scratch);
    const TargetFolder folder(scratch);
    QProcess tool;
    tool.setWorkingDirectory(folder.path());
    tool.start(KORVEX_BINARY, {});
    ASSERT_TRUE(tool.waitForStarted());
    QDeadlineTimer connected(RunTimeoutMs);
    while (OtherAttachments(scratch) == 0 && !connected.hasExpired())
        QThread::msleep(50);
    ASSERT_EQ(OtherAttachments(scratch), 1);

    tool.terminate();
    ASSERT_TRUE(tool.waitForFinished(RunTimeoutMs));
    EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(tool.exitCode(), 0);
    EXPECT_EQ(OtherAttachments(scratch), 0);
}
