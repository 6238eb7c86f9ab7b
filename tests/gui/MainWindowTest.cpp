// The main window as a user meets it, without a database: design, menu, keyboard, open dialog,
// message boxes and the general error display.

#include "gui/Main.h"
#include "gui/MessageBoxes.h"
#include "gui/ReportCommands.h"
#include "support/ModalDriver.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <stdexcept>

using apptest::Dismissal;
using apptest::ModalDriver;

namespace {

struct MenuItem {
    QString name;
    QString caption;
    bool enabled;
    int depth; // 0 on the menu bar
    bool operator==(const MenuItem&) const = default;
};

void PrintTo(const MenuItem& item, std::ostream* out) {
    *out << item.depth << " " << item.name.toStdString() << " \"" << item.caption.toStdString()
         << "\" " << (item.enabled ? "enabled" : "disabled");
}

// The tree in display order, as the menu bar and its menus hold it.
void CollectMenu(const QList<QAction*>& actions, int depth, std::vector<MenuItem>& items) {
    for (QAction* action : actions) {
        QMenu* menu = action->menu();
        const QString name = menu ? menu->objectName() : action->objectName();
        items.push_back({name, action->text(), action->isEnabled(), depth});
        if (menu)
            CollectMenu(menu->actions(), depth + 1, items);
    }
}

class MainWindowTest : public testing::Test {
protected:
    void ShowActive() {
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    QAction* Action(const char* name) { return window.findChild<QAction*>(name); }
    QMenu* Menu(const char* name) { return window.findChild<QMenu*>(name); }

    TMainF window;
};

TEST_F(MainWindowTest, MenuTreeHoldsEveryItemWithItsNameCaptionAndState) {
    std::vector<MenuItem> items;
    CollectMenu(window.findChild<QMenuBar*>("MainMenu1")->actions(), 0, items);
    const std::vector<MenuItem> expected = {
        {"N1", "Данни", true, 0},
        {"N3", "Платежни нареждания", true, 1},
        {"N4", "за кредитен превод (PAYORDER_K)", true, 2},
        {"N7", "за плащане от/към бюджета (PAYORDER_B)", true, 2},
        {"N8", "Сметки/Фактури", false, 1},
        {"N10", "Сметка (BILLBEFORE)", true, 2},
        {"N11", "Фактура (INVOICE)", true, 2},
        {"N15", "ДДС", false, 1},
        {"N16", "Дневник за покупките (VATBAY)", true, 2},
        {"N17", "Дневник за продажбите (VATSELL)", true, 2},
        {"N2", "Справка декларация (VATDEC)", true, 2},
        {"N14", "Справки", false, 1},
        {"RPTBILL1", "Сметки (RPTBILL)", true, 2},
        {"N5", "Инфо", true, 0},
        {"N6", "Изход", true, 0},
    };
    EXPECT_EQ(items, expected);
    EXPECT_EQ(window.N1, Menu("N1"));
    EXPECT_EQ(Action("N6")->shortcut(), QKeySequence(Qt::AltModifier | Qt::Key_X));
}

TEST_F(MainWindowTest, OnlyEnabledSubmenusOpen) {
    ShowActive();
    QMenuBar* bar = window.menuBar();
    QTest::mouseClick(bar, Qt::LeftButton, {},
                      bar->actionGeometry(window.N1->menuAction()).center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.N1->isVisible(); }));

    // Walked round twice with the arrow keys, the menu stops only at what a user can open.
    QSet<const QAction*> reached;
    for (qsizetype step = 0; step < 2 * window.N1->actions().size(); ++step) {
        QTest::keyClick(window.N1, Qt::Key_Down);
        reached.insert(window.N1->activeAction());
    }
    for (const char* greyed : {"N8", "N15", "N14"})
        EXPECT_FALSE(reached.contains(Menu(greyed)->menuAction())) << greyed;
    ASSERT_TRUE(reached.contains(Menu("N3")->menuAction()));

    while (window.N1->activeAction() != Menu("N3")->menuAction())
        QTest::keyClick(window.N1, Qt::Key_Down);
    QTest::keyClick(window.N1, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Menu("N3")->isVisible(); }));
    QTest::keyClick(Menu("N3"), Qt::Key_Escape);
    QTest::keyClick(window.N1, Qt::Key_Escape);
}

TEST_F(MainWindowTest, ALayoutCommandWithoutItsMenuActionStopsTheStart) {
    EXPECT_EQ(ReportAction(window, {"N4", "PAYORDER_K"})->objectName(), "N4");
    try {
        ReportAction(window, {"N99", "PAYORDER_X"});
        ADD_FAILURE() << "a command without its action was taken";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "The layout command for PAYORDER_X names the menu action N99, "
                                   "which the window does not have");
    }
}

TEST_F(MainWindowTest, DesignCaptionVersionAndStatusLabel) {
    EXPECT_EQ(window.windowTitle(), "Korvex - Report Manager - 1.23.9.4");
    EXPECT_EQ(GetAppVersion(), "1.23.9.4");
    EXPECT_EQ(window.font().family(), "MS Sans Serif");
    EXPECT_EQ(window.font().pointSize(), 8);
    EXPECT_EQ(window.palette().color(QPalette::Window),
              QApplication::palette().color(QPalette::Button));

    ShowActive();
    EXPECT_EQ(window.centralWidget()->size(), QSize(575, 302));
    const QPoint offCentre =
        window.frameGeometry().center() - window.screen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 1);

    QLabel* label = window.lDatabase;
    EXPECT_EQ(label->text(), "Database:");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    // At its design place, wide enough for its text in whatever font the system has.
    EXPECT_EQ(label->pos(), QPoint(8, 281));
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));

    window.resize(window.width() + 123, window.height() + 77);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.centralWidget()->height() == 302 + 77; }));
    EXPECT_EQ(label->x(), 8);
    EXPECT_EQ(window.centralWidget()->height() - label->geometry().bottom() - 1, 8);
}

TEST_F(MainWindowTest, AltXClosesTheWindowWithLatinOrCyrillicLayouts) {
    ShowActive();
    QTest::keyClick(&window, Qt::Key_X, Qt::AltModifier);
    EXPECT_FALSE(window.isVisible());

    // The same physical key with a Bulgarian layout: Qt gets "й" and no shortcut matches it.
    const auto altCyrillic = [&](quint32 scanCode) {
        const int key = 0x0419; // Й
        const QString text = QStringLiteral("й");
        if (qt_sendShortcutOverrideEvent(&window, 0, key, Qt::AltModifier, text))
            return;
        QKeyEvent press(QEvent::KeyPress, key, Qt::AltModifier, scanCode, 0x6ca, 0x8, text);
        QApplication::sendEvent(&window, &press);
    };
    ShowActive();
    altCyrillic(54); // the C key: not a command
    EXPECT_TRUE(window.isVisible());
    altCyrillic(53); // the X key
    EXPECT_FALSE(window.isVisible());
}

TEST_F(MainWindowTest, OpenDialogSettingsAndWhatItsFiltersList) {
    QFileDialog& od = window.OD;
    EXPECT_EQ(od.windowTitle(), "Select Report");
    EXPECT_EQ(od.defaultSuffix(), "FR3");
    EXPECT_TRUE(od.testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(od.fileMode(), QFileDialog::AnyFile);
    const auto combo = od.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(0), "Fast Reports (*.fr3)");
    EXPECT_EQ(combo->itemText(1), "All Files (*.*)");
    EXPECT_EQ(od.selectedNameFilter(), "Fast Reports (*.fr3)");

    QTemporaryDir dir;
    for (const char* name : {"lower.fr3", "UPPER.FR3", "notes.txt", "README"}) {
        QFile file(QDir(dir.path()).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    od.setDirectory(dir.path());
    od.show();
    const auto view = od.findChild<QListView*>("listView");
    const auto listed = [&] {
        QStringList names;
        for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
            names << view->model()->index(row, 0, view->rootIndex()).data().toString();
        names.sort();
        return names;
    };
    const QStringList reports = {"UPPER.FR3", "lower.fr3"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return listed() == reports; }))
        << listed().join(", ").toStdString();

    QTest::keyClick(combo, Qt::Key_Down); // the user picks "All Files (*.*)"
    EXPECT_EQ(od.selectedNameFilter(), "All Files (*.*)");
    const QStringList all = {"README", "UPPER.FR3", "lower.fr3", "notes.txt"};
    EXPECT_TRUE(QTest::qWaitFor([&] { return listed() == all; }))
        << listed().join(", ").toStdString();
    od.hide();
}

TEST_F(MainWindowTest, InfoShowsTheMakersAddressInAPlainInformationBox) {
    ShowActive();
    ModalDriver user;
    Action("N5")->trigger();
    ASSERT_EQ(user.boxes.size(), 1u);
    const apptest::SeenBox& box = user.boxes[0];
    EXPECT_EQ(box.title, "Information");
    EXPECT_EQ(box.text, "https://www.korvex.bg");
    EXPECT_EQ(box.icon, QMessageBox::Information);
    EXPECT_EQ(box.textFormat, Qt::PlainText);
    EXPECT_EQ(box.buttons, QStringList{"OK"});
    EXPECT_TRUE(box.okIsDefault);
    EXPECT_EQ(box.owner, &window);
    EXPECT_LE((box.geometry.center() - box.ownerGeometry.center()).manhattanLength(), 2);
    EXPECT_TRUE(window.isVisible());
}

TEST_F(MainWindowTest, BoxesAreDismissedByOkEscapeOrTheCloseBoxAndShowMarkupLiterally) {
    ModalDriver user;
    for (Dismissal way : {Dismissal::ClickOk, Dismissal::Escape, Dismissal::CloseBox}) {
        user.dismissal = way;
        ShowError("<b>x</b> <img src=\"/etc/passwd\">", &window);
    }
    ASSERT_EQ(user.boxes.size(), 3u);
    for (const apptest::SeenBox& box : user.boxes) {
        EXPECT_TRUE(box.dismissed);
        EXPECT_EQ(box.title, "Error");
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.textFormat, Qt::PlainText);
        EXPECT_EQ(box.labelText, "<b>x</b> <img src=\"/etc/passwd\">");
    }
}

TEST_F(MainWindowTest, GeneralErrorDisplayTitlesWithTheAppAndAddsAFullStopByRule) {
    ShowActive();
    ModalDriver user;
    window.RunCommand(
        [] { throw std::runtime_error("Cannot open file \"/x/<b>y</b>\". Is a directory"); });
    ASSERT_EQ(user.boxes.size(), 1u);
    EXPECT_EQ(user.boxes[0].title, "app_tests"); // this executable is app_tests
    EXPECT_EQ(user.boxes[0].text, "Cannot open file \"/x/<b>y</b>\". Is a directory.");
    EXPECT_EQ(user.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(user.boxes[0].buttons, QStringList{"OK"});
    EXPECT_EQ(user.boxes[0].textFormat, Qt::PlainText);

    // The program carries on: the next command works.
    Action("N5")->trigger();
    ASSERT_EQ(user.boxes.size(), 2u);
    EXPECT_EQ(user.boxes[1].title, "Information");

    for (const char* text : {"done.", "(see log)", "say \"x\"", "trailing ", "-", ""})
        EXPECT_EQ(GeneralErrorText(text), text);
    EXPECT_EQ(GeneralErrorText("error 42"), "error 42.");
    EXPECT_EQ(GeneralErrorText("Грешка"), "Грешка.");
    EXPECT_EQ(GeneralErrorText("a/"), "a/."); // "/" is U+002F, just above "."
}

} // namespace
