#pragma once

#include "core/Replacement.h"

#include <QDialog>
#include <QString>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

// Runs one replacement on a thread of its own while the window's event loop goes on, so the
// window repaints and answers whatever the database does. Past a moment a modal progress window
// shows the step and the bytes done and offers Cancel; until then no input reaches the window.
// Cancel asks the server to stop, and drops the connection when it does not answer in time.
class ReplacementRun : public QDialog {
public:
    ReplacementRun(core::Replacer& replacer, const QString& reportId, QWidget* owner);

    core::Outcome Run(const QString& templatePath);
    // Ends the run as soon as it can: what Cancel does.
    void Cancel();

    // Cancel, Escape and the close box all cancel; the window stays until the work has stopped.
    void reject() override;

protected:
    // Closed by the program (every window closing at a termination signal) it cancels and lets
    // the other windows close too.
    void closeEvent(QCloseEvent* event) override;

private:
    void showProgress(const core::Progress& progress);

    core::Replacer& replacer_;
    const QString reportId_;
    QLabel* step_;
    QProgressBar* bar_;
    QPushButton* cancel_;
    QTimer abort_; // after a cancel the server did not answer
    bool cancelled_ = false;
};
