#pragma once

// Plays the user for modal dialogs while a test runs a blocking call on the GUI thread:
//
//   ModalDriver user;
//   user.ChooseFile("/tmp/x/report.fr3");      // answers for file dialogs, in order
//   window.findChild<QAction*>("N4")->trigger();
//   ASSERT_EQ(user.boxes.size(), 1u);
//   EXPECT_EQ(user.boxes[0].text, "Обновяването премина УСПЕШНО");
//
// A timer polls for the active modal widget. Every message box is recorded and dismissed (with
// OK unless told otherwise); every file dialog is recorded and given the next queued answer, or
// cancelled when none is left. Keep the driver on the test's stack: it must not outlive the test.

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

namespace apptest {

struct SeenBox {
    QString title;
    QString text;
    QString details; // behind "Show Details..."
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat textFormat = Qt::AutoText; // of the label that draws the text
    QString labelText;                        // what that label holds
    QStringList buttons;                      // texts of every button
    bool okIsDefault = false;
    QRect geometry;
    QWidget* owner = nullptr;
    QRect ownerGeometry;
    bool dismissed = true; // false when the chosen way of dismissing left it open
};

struct SeenFileDialog {
    QString title;
    QStringList preselected; // the full paths the dialog offered when it came up
    QString filter;          // the filter selected when it came up
};

enum class Dismissal { ClickOk, Escape, CloseBox };

class ModalDriver {
public:
    ModalDriver();
    ~ModalDriver();
    ModalDriver(const ModalDriver&) = delete;
    ModalDriver& operator=(const ModalDriver&) = delete;

    // Types the path into the next file dialog, after selecting the filter when one is given, and
    // accepts; then runs afterAccept, before the dialog's caller goes on.
    void ChooseFile(const QString& path, const QString& filter = {},
                    std::function<void()> afterAccept = {});
    // Types this first, when given, then cancels.
    void CancelFileDialog(const QString& typed = {});

    Dismissal dismissal = Dismissal::ClickOk;
    std::vector<SeenBox> boxes;
    std::vector<SeenFileDialog> fileDialogs;

private:
    struct Answer {
        bool cancel = false;
        QString path;
        QString filter;
        std::function<void()> afterAccept;
    };

    void poll();
    void answerBox(QMessageBox* box);
    void answerFileDialog(QFileDialog* dialog);
    void typeAnswer(QFileDialog* dialog);

    QTimer timer_;
    std::deque<Answer> answers_;
    QPointer<QMessageBox> dismissedBox_; // still up on the next poll: not dismissed
    QPointer<QFileDialog> dialog_;       // being answered: its answer typed, waiting to accept
    Answer answer_;
};

} // namespace apptest
