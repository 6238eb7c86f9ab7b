#include "ModalDriver.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace apptest {

namespace {

constexpr int PollIntervalMs = 20;

SeenBox Describe(QMessageBox* box) {
    SeenBox seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.details = box->detailedText();
    seen.icon = box->icon();
    if (const auto label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        seen.textFormat = label->textFormat();
        seen.labelText = label->text();
    }
    for (QAbstractButton* button : box->buttons())
        seen.buttons << button->text();
    seen.okIsDefault =
        box->defaultButton() == static_cast<QAbstractButton*>(box->button(QMessageBox::Ok));
    seen.geometry = box->frameGeometry();
    seen.owner = box->parentWidget();
    if (seen.owner)
        seen.ownerGeometry = seen.owner->frameGeometry();
    return seen;
}

QLineEdit* fileNameEdit(QFileDialog* dialog) {
    return dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
}

} // namespace

ModalDriver::ModalDriver() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start(PollIntervalMs);
}

ModalDriver::~ModalDriver() = default;

void ModalDriver::ChooseFile(const QString& path, const QString& filter,
                             std::function<void()> afterAccept) {
    answers_.push_back({false, path, filter, std::move(afterAccept)});
}

void ModalDriver::CancelFileDialog(const QString& typed) {
    answers_.push_back({true, typed, {}, {}});
}

void ModalDriver::typeAnswer(QFileDialog* dialog) {
    if (answer_.path.isEmpty())
        return;
    QLineEdit* edit = fileNameEdit(dialog);
    edit->setText(answer_.path);
    if (QCompleter* completer = edit->completer())
        completer->popup()->hide();
}

void ModalDriver::poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (const auto box = qobject_cast<QMessageBox*>(modal))
        answerBox(box);
    else if (const auto dialog = qobject_cast<QFileDialog*>(modal))
        answerFileDialog(dialog);
}

void ModalDriver::answerBox(QMessageBox* box) {
    if (box == dismissedBox_) {
        boxes.back().dismissed = false;
        box->done(0);
        return;
    }
    boxes.push_back(Describe(box));
    dismissedBox_ = box;
    switch (dismissal) {
    case Dismissal::ClickOk:
        box->button(QMessageBox::Ok)->click();
        break;
    case Dismissal::Escape:
        QTest::keyClick(box, Qt::Key_Escape);
        break;
    case Dismissal::CloseBox:
        box->close();
        break;
    }
}

// The dialog fills in its view and enables its buttons asynchronously: the answer is typed in one
// go, the completer's popup closed, and the accept button pressed once it is enabled.
void ModalDriver::answerFileDialog(QFileDialog* dialog) {
    if (dialog != dialog_) {
        fileDialogs.push_back(
            {dialog->windowTitle(), dialog->selectedFiles(), dialog->selectedNameFilter()});
        answer_ = Answer{true, {}, {}, {}};
        if (!answers_.empty()) {
            answer_ = std::move(answers_.front());
            answers_.pop_front();
        }
        if (!answer_.filter.isEmpty())
            dialog->selectNameFilter(answer_.filter);
        typeAnswer(dialog);
        if (answer_.cancel)
            dialog->reject();
        else
            dialog_ = dialog;
        return;
    }
    // Once its folder has loaded, the view selects the preselected file and writes that file's
    // name over the answer: type it again and accept on a later poll.
    if (!answer_.path.isEmpty() && fileNameEdit(dialog)->text() != answer_.path) {
        typeAnswer(dialog);
        return;
    }
    const auto buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    QAbstractButton* accept = buttons->button(QDialogButtonBox::Open);
    if (!accept->isEnabled())
        return;
    // Still up on a later poll (it moved into a typed directory, say), it counts as a new dialog.
    dialog_ = nullptr;
    accept->click();
    if (answer_.afterAccept)
        answer_.afterAccept();
}

} // namespace apptest
