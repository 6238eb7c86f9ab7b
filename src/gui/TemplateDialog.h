#pragma once

#include <QFileDialog>
#include <QString>

// The open dialog for templates. A name that exists as chosen is taken as it is, also without an
// extension; only a name that does not exist gets the default extension.
class TemplateDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    void accept() override;
    // The full path accepted last.
    const QString& chosenFile() const { return chosen_; }

private:
    QString nameAsChosen();

    QString chosen_;
};
