#include "MessageBoxes.h"

#include "platform/Process.h"

void ShowBox(QMessageBox::Icon icon, const QString& title, const QString& text, QWidget* owner,
             const QString& details) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.setDetailedText(details);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

void ShowInformation(const QString& text, QWidget* owner) {
    ShowBox(QMessageBox::Information, QStringLiteral("Information"), text, owner);
}

void ShowError(const QString& text, QWidget* owner, const QString& details) {
    ShowBox(QMessageBox::Critical, QStringLiteral("Error"), text, owner, details);
}

QString GeneralErrorText(const QString& text) {
    return !text.isEmpty() && text.back() > u'.' ? text + u'.' : text;
}

void ShowGeneralError(const QString& text, QWidget* owner) {
    ShowBox(QMessageBox::Critical, platform::ApplicationTitle(), GeneralErrorText(text), owner);
}
