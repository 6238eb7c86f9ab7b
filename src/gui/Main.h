#pragma once

#include "TemplateDialog.h"
#include "platform/BackupName.h"

#include <QDateTime>
#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>

class QAction;
class QKeyEvent;
class QLabel;
class QMenu;
class TDM;
class DataModuleStore;

struct ReportCommand;

namespace core {
class Replacer;
} // namespace core

namespace Ui {
class TMainF;
}

// The window's menu action of a layout command; a command naming none fails, so that a layout
// cannot silently go without its command.
QAction* ReportAction(const QWidget& window, const ReportCommand& command);

// The four-part file version of this build, "1.23.9.4": unpadded parts joined by ".".
QString GetAppVersion();

class TMainF : public QMainWindow {
    Q_OBJECT

public:
    explicit TMainF(QWidget* parent = nullptr);
    ~TMainF() override;

    // Shows "Database: " + the target once the data module has connected, and gives the
    // report commands the module's transaction and report list, their backups stamped by the clock.
    void UseDataModule(TDM& dm, std::function<QDateTime()> clock = platform::LocalNow);
    // After a failed start: none of the report commands can be reached.
    void DisableDataMenu();

    // The one way in for every menu command: an error escaping the command goes to the general
    // error display and the program carries on, with nothing reset.
    void RunCommand(const std::function<void()>& command);

    void UpdateReport(const QString& reportId);

    void N5Click();
    void N6Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // While a replacement runs, closing cancels it first and closes once it has stopped.
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void CentreOnScreen();
    void ConnectCommands();
    void ShowDatabase(const QString& target);
    bool ChooseTemplate();

    std::unique_ptr<Ui::TMainF> ui;
    std::unique_ptr<DataModuleStore> store_;
    std::unique_ptr<core::Replacer> replacer_; // over store_
    class ReplacementRun* running_ = nullptr;
    bool closeWhenStopped_ = false;
    QString lastTemplate_; // the full path chosen last, by any report command

public:
    QLabel* const lDatabase;
    QMenu* const N1;
    TemplateDialog OD;
};
