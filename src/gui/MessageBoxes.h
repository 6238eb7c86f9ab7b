#pragma once

#include <QMessageBox>
#include <QString>

// Every box the tool shows: its text as plain text (never HTML), one "OK" button that is the
// default and that Escape and the close box stand for too, centred on its owner, or on the
// screen when there is none.
// Details, when given, wait behind the box's "Show Details..." button.
void ShowBox(QMessageBox::Icon icon, const QString& title, const QString& text, QWidget* owner,
             const QString& details = {});
void ShowInformation(const QString& text, QWidget* owner);
void ShowError(const QString& text, QWidget* owner, const QString& details = {});

// The general error display: the text with "." appended when its last character's code is
// above U+002E, in an error box titled with the application title.
QString GeneralErrorText(const QString& text);
void ShowGeneralError(const QString& text, QWidget* owner);
