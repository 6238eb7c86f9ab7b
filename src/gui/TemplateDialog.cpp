#include "TemplateDialog.h"

#include <QFileInfo>
#include <QLineEdit>

// The view's selection can still hold the file offered when the dialog opened besides the one
// chosen; the name box shows the one chosen.
QString TemplateDialog::nameAsChosen() {
    const QString suffix = defaultSuffix();
    setDefaultSuffix({});
    const QStringList files = selectedFiles();
    setDefaultSuffix(suffix);
    const auto edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    const QString shown = edit ? QFileInfo(edit->text()).fileName() : QString();
    for (const QString& file : files)
        if (QFileInfo(file).fileName() == shown)
            return file;
    return files.value(0);
}

void TemplateDialog::accept() {
    const QString name = nameAsChosen();
    const bool takenAsIs = QFileInfo(name).isFile() || QFileInfo(name).fileName().contains(u'.') ||
                           defaultSuffix().isEmpty();
    chosen_ = takenAsIs ? name : name + u'.' + defaultSuffix();
    QFileDialog::accept();
}
