#include "Main.h"
#include "Data.h"
#include "platform/Files.h"
#include "platform/Termination.h"

#include <QApplication>

namespace {

// Without the client library nothing of the tool can work: say so and give up.
std::unique_ptr<TDM> CreateDataModule() {
    QString error;
    try {
        return std::make_unique<TDM>();
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    }
    ShowBox(QMessageBox::Critical, QStringLiteral("Application Error"), error, nullptr);
    return nullptr;
}

// A failure leaves whatever the open reached in place and only "Инфо" and "Изход" usable; the
// error is shown before the window, on a line of its own.
void OpenReportList(TMainF& mainF, TDM& dm) {
    QString error;
    try {
        dm.OpenReportList();
        return;
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    }
    mainF.DisableDataMenu();
    ShowError(u'\r' + error, nullptr);
}

} // namespace

int main(int argc, char* argv[]) {
    platform::ReportFileSizeLimitAsWriteError();
    // Before any thread exists, so that all of them inherit it.
    platform::HoldTerminationSignals();
    QApplication application(argc, argv);

    // Declared in creation order, so the data module is destroyed before the window.
    TMainF MainF;
    const std::unique_ptr<TDM> DM = CreateDataModule();
    if (!DM)
        return 1;
    MainF.UseDataModule(*DM);

    OpenReportList(MainF, *DM);
    // After the first attach, which installs the client library's own handlers: these replace
    // them and take any signal held since start-up.
    const platform::TerminationRequests terminationRequests(
        [] { QApplication::closeAllWindows(); });
    MainF.show();
    return application.exec();
}
