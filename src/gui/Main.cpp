#include "Main.h"

#include "MessageBoxes.h"
#include "ReplacementRun.h"
#include "ReportCommands.h"
#include "core/Replacement.h"
#include "datamodule/Data.h"
#include "datamodule/DataModuleStore.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "platform/Version.h"
#include "ui_MainF.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>

namespace {

const QString MakerAddress = QStringLiteral("https://www.korvex.bg");
const QString UpdateSucceeded = QStringLiteral("Обновяването премина УСПЕШНО");
const QString UpdateFailed = QStringLiteral("Обновяването e НЕУСПЕШНО"); // Latin "e"

// X11 and Wayland report the physical X key as keycode 53 (evdev 45 + 8), whatever the layout.
constexpr quint32 XKeyScanCode = 53;

bool IsPhysicalAltX(const QKeyEvent& event) {
    return event.modifiers() == Qt::AltModifier && event.nativeScanCode() == XKeyScanCode;
}

std::unique_ptr<Ui::TMainF> SetUpDesign(QMainWindow* window) {
    platform::LoadDesignResources();
    auto ui = std::make_unique<Ui::TMainF>();
    ui->setupUi(window);
    return ui;
}

// Keeps a widget at its design-time distances from its parent's left and bottom edges, also
// when the widget itself changes size.
class BottomLeftAnchor : public QObject {
public:
    BottomLeftAnchor(QWidget* widget, int designParentHeight)
        : QObject(widget), widget_(widget), left_(widget->x()),
          bottom_(designParentHeight - widget->y() - widget->height()) {
        widget->parentWidget()->installEventFilter(this);
        widget->installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize)
            widget_->move(left_, widget_->parentWidget()->height() - bottom_ - widget_->height());
        return false;
    }

private:
    QWidget* widget_;
    int left_;
    int bottom_;
};

// The name filters show "All Files (*.*)", which must list every file, names without a dot too;
// the dialog takes its patterns from the filter strings and "*.*" would hide those names.
void SetUpReportFilters(QFileDialog& dialog) {
    dialog.setNameFilters(
        {QStringLiteral("Fast Reports (*.fr3)"), QStringLiteral("All Files (*)")});
    const auto combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    combo->setItemText(1, QStringLiteral("All Files (*.*)"));
}

} // namespace

QAction* ReportAction(const QWidget& window, const ReportCommand& command) {
    const auto action = window.findChild<QAction*>(command.action);
    if (!action)
        throw std::runtime_error(
            QStringLiteral("The layout command for %1 names the menu action %2, which the window "
                           "does not have")
                .arg(command.reportId, command.action)
                .toStdString());
    return action;
}

QString GetAppVersion() {
    return platform::Version();
}

TMainF::TMainF(QWidget* parent)
    : QMainWindow(parent), ui(SetUpDesign(this)), lDatabase(ui->lDatabase), N1(ui->N1), OD(this) {
    // The design's window size is that of the client area, below the menu bar.
    const QSize clientSize = size();
    new BottomLeftAnchor(lDatabase, clientSize.height());
    // The design's width fits the design's font only; a wider fallback font would clip the text.
    lDatabase->adjustSize();
    resize(clientSize.width(), clientSize.height() + menuBar()->sizeHint().height());
    CentreOnScreen();

    QPalette buttonFace = palette();
    buttonFace.setColor(QPalette::Window, buttonFace.color(QPalette::Button));
    setPalette(buttonFace);

    OD.setOption(QFileDialog::DontUseNativeDialog);
    OD.setWindowTitle(QStringLiteral("Select Report"));
    OD.setDefaultSuffix(QStringLiteral("FR3"));
    SetUpReportFilters(OD);

    ConnectCommands();
    FormCreate();
}

TMainF::~TMainF() = default;

// The platform window is made now so that the frame around it counts where the platform knows it.
void TMainF::CentreOnScreen() {
    create();
    move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frameGeometry().size(),
                             QGuiApplication::primaryScreen()->availableGeometry())
             .topLeft());
}

void TMainF::FormCreate() {
    setWindowTitle(windowTitle() + QStringLiteral(" - ") + GetAppVersion());
}

void TMainF::ConnectCommands() {
    const auto connectCommand = [this](QAction* action, const std::function<void()>& handler) {
        connect(action, &QAction::triggered, this, [this, handler] { RunCommand(handler); });
    };
    for (const ReportCommand& command : ReportCommands())
        connectCommand(ReportAction(*this, command),
                       [this, id = command.reportId] { UpdateReport(id); });
    connectCommand(ui->N5, [this] { N5Click(); });
    connectCommand(ui->N6, [this] { N6Click(); });
}

void TMainF::UseDataModule(TDM& dm, std::function<QDateTime()> clock) {
    // The old store lets go of the report list before the new one takes it.
    replacer_.reset();
    store_.reset();
    store_ = std::make_unique<DataModuleStore>(dm);
    replacer_ = std::make_unique<core::Replacer>(*store_, std::move(clock));
    dm.OnConnected = [this](const QString& target) {
        ShowDatabase(target);
    };
}

void TMainF::DisableDataMenu() {
    N1->menuAction()->setEnabled(false);
}

void TMainF::ShowDatabase(const QString& target) {
    lDatabase->setText(QStringLiteral("Database: ") + target);
    lDatabase->adjustSize();
}

void TMainF::RunCommand(const std::function<void()>& command) {
    // The box is shown outside the handler so that its event loop does not run inside a catch.
    QString error;
    try {
        command();
        return;
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    }
    ShowGeneralError(error, this);
}

void TMainF::closeEvent(QCloseEvent* event) {
    if (running_) {
        closeWhenStopped_ = true;
        running_->Cancel();
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void TMainF::keyPressEvent(QKeyEvent* event) {
    // Shortcuts match the layout's character, so with a Cyrillic-only layout Alt+X arrives here
    // unmatched; the physical key still means "Изход".
    if (IsPhysicalAltX(*event)) {
        ui->N6->trigger();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void TMainF::UpdateReport(const QString& reportId) {
    OD.setWindowTitle(QStringLiteral("Select Report for: ") + reportId);
    if (!ChooseTemplate())
        return;
    core::Outcome outcome;
    {
        ReplacementRun run(*replacer_, reportId, this);
        running_ = &run;
        outcome = run.Run(lastTemplate_);
        running_ = nullptr;
    }
    if (closeWhenStopped_) {
        close();
        return;
    }
    switch (outcome.result) {
    case core::Outcome::Result::Replaced:
        ShowInformation(UpdateSucceeded, this);
        break;
    case core::Outcome::Result::Failed:
        ShowError(UpdateFailed, this, outcome.text);
        break;
    default:
        ShowGeneralError(outcome.text, this);
    }
}

bool TMainF::ChooseTemplate() {
    // Offered again even after a cancelled dialog in which something else was typed.
    if (!lastTemplate_.isEmpty())
        OD.selectFile(lastTemplate_);
    if (OD.exec() != QDialog::Accepted || OD.chosenFile().isEmpty())
        return false;
    lastTemplate_ = OD.chosenFile();
    return true;
}

void TMainF::N5Click() {
    ShowInformation(MakerAddress, this);
}

void TMainF::N6Click() {
    close();
}
