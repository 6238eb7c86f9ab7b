// The window while a replacement waits for the database: the progress window is up and answers,
// Cancel (or a termination signal) ends the wait, and nothing stored changes.

#include "datamodule/Data.h"
#include "gui/Main.h"
#include "platform/Termination.h"
#include "support/AppFixture.h"
#include "support/ModalDriver.h"

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>

using apptest::SampleLayout;

namespace {

const QString Failed = "Обновяването e НЕУСПЕШНО";

// Acts on the progress window once it is shown and the condition holds, once.
class ProgressWatcher {
public:
    ProgressWatcher(TMainF& window, std::function<bool()> ready, std::function<void(QDialog&)> act)
        : window_(window), ready_(std::move(ready)), act_(std::move(act)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(50);
    }
    bool acted() const { return acted_; }

private:
    void poll() {
        const auto progress = window_.findChild<QDialog*>("ReplacementRun");
        if (acted_ || !progress || !progress->isVisible() || !ready_())
            return;
        acted_ = true;
        act_(*progress);
    }

    TMainF& window_;
    std::function<bool()> ready_;
    std::function<void(QDialog&)> act_;
    QTimer timer_;
    bool acted_ = false;
};

// A real click, through the window system, as the user's would come.
void ClickCancel(QDialog& progress) {
    QWidget* cancel = progress.findChild<QDialogButtonBox*>()->buttons().first();
    QTest::mouseClick(progress.windowHandle(), Qt::LeftButton, {},
                      cancel->mapTo(&progress, cancel->rect().center()));
}

class ReplacementRunTest : public testing::Test {
protected:
    explicit ReplacementRunTest(int port = fbtest::ServerPort) : scratch(1, port) {
        apptest::CreateReports(scratch);
        dm.UseTarget(scratch.target());
        window.UseDataModule(dm);
        dm.OpenReportList();
        window.show();
        const QString path = QDir(templates.path()).filePath("new.fr3");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write("new") == 3);
        user.ChooseFile(path);
    }
    std::optional<QByteArray> Stored() {
        return scratch.readBlob("REPORTS", "DESCR", "ID", "PAYORDER_K");
    }
    void Run() { window.findChild<QAction*>("N4")->trigger(); }
    // Another user's uncommitted change of the row, which the tool's update waits for.
    void HoldTheRow() {
        other.UseTarget(scratch.target());
        other.OpenReportList();
        ASSERT_TRUE(other.IBReports.Locate("ID", "PAYORDER_K"));
        other.IBReports.Edit();
        other.IBReports.CreateContentWriter("DESCR")->write("other", 5);
        other.IBReports.Post();
    }
    bool Waiting() { return scratch.running("update REPORTS"); }

    fbtest::ScratchDatabase scratch;
    QTemporaryDir folder;
    apptest::WorkingDirectory inFolder{folder.path()};
    QTemporaryDir templates;
    TMainF window;
    TDM dm;
    TDM other;
    apptest::ModalDriver user;
};

TEST_F(ReplacementRunTest, ALockedRowWaitsBehindAProgressWindowUntilCancelled) {
    HoldTheRow();
    ProgressWatcher cancel(
        window, [&] { return Waiting(); }, ClickCancel);
    Run();
    ASSERT_TRUE(cancel.acted());
    ASSERT_EQ(user.boxes.size(), 1u);
    EXPECT_EQ(user.boxes[0].text, Failed);
    EXPECT_FALSE(user.boxes[0].details.isEmpty());
    other.IBT.Rollback();
    EXPECT_EQ(Stored(), SampleLayout("PAYORDER_K"));
    EXPECT_TRUE(dm.IBT.Active());

    // The same command goes through once the other user has let go.
    user.ChooseFile(QDir(templates.path()).filePath("new.fr3"));
    Run();
    EXPECT_EQ(user.boxes.back().text, "Обновяването премина УСПЕШНО");
    EXPECT_EQ(Stored(), "new");
}

// A session ending while the tool waits: the signal cancels the wait and closes the window.
TEST_F(ReplacementRunTest, ATerminationSignalDuringALockWaitClosesTheWindow) {
    HoldTheRow();
    const platform::TerminationRequests termination([] { QApplication::closeAllWindows(); });
    ProgressWatcher terminate(
        window, [&] { return Waiting(); }, [](QDialog&) { std::raise(SIGTERM); });
    Run();
    ASSERT_TRUE(terminate.acted());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 30000));
    EXPECT_TRUE(user.boxes.empty());
    other.IBT.Rollback();
    EXPECT_EQ(Stored(), SampleLayout("PAYORDER_K"));
}

class StoppedServerTest : public ReplacementRunTest {
protected:
    StoppedServerTest() : ReplacementRunTest(server().port()) {}
    static fbtest::ServerInstance& server() {
        static fbtest::ServerInstance instance;
        return instance;
    }
};

// A server that stops answering (SIGSTOP) does not answer the cancel either: the tool drops the
// connection and tells the lost connection; the row is untouched.
TEST_F(StoppedServerTest, CancelLeavesAServerThatDoesNotAnswer) {
    const pid_t pid = server().pid();
    ProgressWatcher cancel(
        window, [] { return true; }, [&](QDialog& progress) { ClickCancel(progress); });
    ::kill(pid, SIGSTOP);
    Run();
    ::kill(pid, SIGCONT);
    ASSERT_TRUE(cancel.acted());
    ASSERT_EQ(user.boxes.size(), 1u);
    EXPECT_EQ(user.boxes[0].title, "app_tests");
    EXPECT_TRUE(window.isVisible());
    scratch.reconnect();
    EXPECT_EQ(Stored(), SampleLayout("PAYORDER_K"));
}

} // namespace
