#include "Journal.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace cli {

Journal::Journal(const QString& backupDirectory)
    : path_(QDir(backupDirectory.isEmpty() ? platform::WorkingDirectory() : backupDirectory)
                .absoluteFilePath(QString::fromLatin1(FileName))) {}

void Journal::Append(const QJsonObject& line) {
    const std::lock_guard lock(mutex_);
    try {
        if (!file_)
            file_.emplace(path_);
        file_->append(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    } catch (const platform::FileError& error) {
        // A journal that failed once may work again, e.g. once space is freed.
        file_.reset();
        throw std::runtime_error(QStringLiteral("The journal %1 cannot be written. %2")
                                     .arg(path_, QString::fromUtf8(error.what()))
                                     .toStdString());
    }
}

QList<QJsonObject> Journal::Read() const {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QJsonObject> lines;
    while (!file.atEnd()) {
        const QJsonDocument line = QJsonDocument::fromJson(file.readLine());
        if (line.isObject())
            lines << line.object();
    }
    return lines;
}

} // namespace cli
