#include "Main.h"
#include "MessageBoxes.h"
#include "datamodule/Data.h"
#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Termination.h"

#include <QApplication>
#include <variant>

namespace {

// The database named on the command line (none: the one in the working directory), or the exit
// code when --help, --version or a usage error has been answered. Decided before any window
// exists, so that these work without a display.
std::variant<std::optional<QString>, int> ReadCommandLine(int argc, char* argv[]) {
    const QCoreApplication parsing(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Korvex - Report Manager: replaces the report layouts stored in the table "
                       "REPORTS of an office database, backing up each one first to "
                       "B_<identifier>_<yymmddhhnnss>.FR3 in the working directory."));
    parser.addPositionalArgument(
        QStringLiteral("database"),
        QStringLiteral("The database to open, for example 127.0.0.1:/srv/office/KORVEX.FDB, "
                       "exactly as written. Default: 127.0.0.1:<working directory>/KORVEX.FDB."),
        QStringLiteral("[database]"));
    if (const std::optional<int> exitCode = platform::ParseCommandLine(parser, parsing.arguments()))
        return *exitCode;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty() || positional[0].isEmpty())
        return std::optional<QString>();
    return positional[0];
}

// Without the client library, or with a design the window cannot be built from, nothing of the
// tool can work: say so and give up.
template <class Object> std::unique_ptr<Object> CreateOrTell() {
    QString error;
    try {
        return std::make_unique<Object>();
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    }
    ShowBox(QMessageBox::Critical, QStringLiteral("Application Error"), error, nullptr);
    return nullptr;
}

// The error of the first open of the report list, if it failed. A failure leaves whatever the
// open reached in place.
std::optional<QString> OpenReportList(TDM& dm) {
    try {
        dm.OpenReportList();
        return std::nullopt;
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
}

} // namespace

int main(int argc, char* argv[]) {
    platform::ReportFileSizeLimitAsWriteError();
    // Before any thread exists, so that all of them inherit it.
    platform::HoldTerminationSignals();
    const auto commandLine = ReadCommandLine(argc, argv);
    if (const int* exitCode = std::get_if<int>(&commandLine))
        return *exitCode;
    const std::optional<QString> database = std::get<std::optional<QString>>(commandLine);
    QApplication application(argc, argv);
    platform::UseUtf8CharacterType();

    // Declared in creation order, so the data module is destroyed before the window.
    const std::unique_ptr<TMainF> MainF = CreateOrTell<TMainF>();
    if (!MainF)
        return 1;
    const std::unique_ptr<TDM> DM = CreateOrTell<TDM>();
    if (!DM)
        return 1;
    if (database)
        DM->UseTarget(*database);
    MainF->UseDataModule(*DM);

    const std::optional<QString> openError = OpenReportList(*DM);
    // After the first attach, which installs the client library's own handlers: these replace
    // them and take any signal held since start-up.
    bool terminated = false;
    const platform::TerminationRequests terminationRequests([&terminated] {
        terminated = true;
        QApplication::closeAllWindows();
    });
    if (openError) {
        // Only "Инфо" and "Изход" stay usable; the error comes first, on a line of its own.
        MainF->DisableDataMenu();
        ShowError(u'\r' + *openError, nullptr);
    }
    if (terminated) // while the error was up: the window never opens
        return 0;
    MainF->show();
    return application.exec();
}
