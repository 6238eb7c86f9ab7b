// Preloaded (LD_PRELOAD) into the real executable by the start-up tests. It plays the user: each
// message box that comes up and the main window once it shows are written to stdout as one JSON
// line each, then the box is answered with OK and the window closed, so the process runs its
// real start-up and shutdown and ends by itself. With KORVEX_PROBE_LEAVE_BOXES set, boxes are
// reported and left up.

#include <QAbstractButton>
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <cstdio>

namespace {

constexpr int PollIntervalMs = 20;

void Report(const QJsonObject& what) {
    std::fputs(QJsonDocument(what).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    std::fflush(stdout);
}

QJsonArray VisibleWindows() {
    QJsonArray names;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && !qobject_cast<QMessageBox*>(widget))
            names.append(widget->objectName());
    return names;
}

QJsonObject DescribeBox(QMessageBox* box) {
    QJsonArray buttons;
    for (QAbstractButton* button : box->buttons())
        buttons.append(button->text());
    const auto label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    return {
        {"box", box->windowTitle()}, {"text", box->text()},
        {"icon", int(box->icon())},  {"plainText", label && label->textFormat() == Qt::PlainText},
        {"buttons", buttons},        {"visibleWindows", VisibleWindows()}};
}

// Whether each menu of the tree can be opened, by name.
void CollectMenus(const QList<QAction*>& actions, QJsonObject& menus) {
    for (QAction* action : actions)
        if (QMenu* menu = action->menu()) {
            menus[menu->objectName()] = action->isEnabled();
            CollectMenus(menu->actions(), menus);
        }
}

QJsonObject DescribeWindow(QMainWindow* window) {
    QJsonObject menus;
    CollectMenus(window->menuBar()->actions(), menus);
    const auto label = window->findChild<QLabel*>(QStringLiteral("lDatabase"));
    return {{"window", window->windowTitle()},
            {"label", label->text()},
            {"labelPlainText", label->textFormat() == Qt::PlainText},
            {"menusEnabled", menus},
            {"clientWidth", window->centralWidget()->width()},
            {"clientHeight", window->centralWidget()->height()},
            {"offCentre",
             (window->frameGeometry().center() - window->screen()->availableGeometry().center())
                 .manhattanLength()}};
}

QMainWindow* ShownMainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (const auto window = qobject_cast<QMainWindow*>(widget); window && window->isVisible())
            return window;
    return nullptr;
}

void Poll() {
    static QPointer<QMessageBox> answered;
    if (const auto box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        if (box != answered) {
            answered = box;
            Report(DescribeBox(box));
            // Left up when the test means to end the program some other way meanwhile.
            if (!qEnvironmentVariableIsSet("KORVEX_PROBE_LEAVE_BOXES"))
                box->button(QMessageBox::Ok)->click();
        }
    } else if (QMainWindow* window = ShownMainWindow()) {
        Report(DescribeWindow(window));
        window->close();
    }
}

// Every application object runs this; only the one with widgets has anything to watch (the tool
// reads its command line through a plain one first).
void StartProbe() {
    QCoreApplication* application = QCoreApplication::instance();
    if (!qobject_cast<QApplication*>(application))
        return;
    const auto timer = new QTimer(application);
    QObject::connect(timer, &QTimer::timeout, Poll);
    timer->start(PollIntervalMs);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartProbe)
