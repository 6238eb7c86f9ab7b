#include "Journal.h"

#include "Output.h"

#include <QDir>
#include <QJsonDocument>

namespace cli {

Journal::Journal(const QString& backupDirectory)
    : path_(QDir(backupDirectory.isEmpty() ? platform::WorkingDirectory() : backupDirectory)
                .absoluteFilePath(QString::fromLatin1(FileName))) {}

void Journal::Append(const QJsonObject& line, const std::stop_token& stop) {
    try {
        platform::AppendFile* file = nullptr;
        {
            // Only the opening: the file keeps the writers of its lines apart itself.
            const std::lock_guard lock(mutex_);
            if (!file_)
                file_.emplace(path_);
            file = &*file_;
        }
        file->append(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n', stop);
    } catch (const platform::FileError& error) {
        throw std::runtime_error(QStringLiteral("The journal %1 cannot be written. %2")
                                     .arg(path_, QString::fromUtf8(error.what()))
                                     .toStdString());
    }
}

void Journal::Read(Direction direction,
                   const std::function<bool(const QJsonObject&)>& visit) const {
    platform::LineReader reader(path_, direction);
    while (const std::optional<platform::LineReader::Line> line = reader.next()) {
        if (line->text.trimmed().isEmpty())
            continue;
        const QJsonDocument parsed = QJsonDocument::fromJson(line->text);
        if (!parsed.isObject())
            tellUnreadable(line->offset);
        else if (!visit(parsed.object()))
            return;
    }
}

void Journal::tellUnreadable(qint64 offset) const {
    if (told_.insert(offset).second)
        Print(stderr, QStringLiteral("korvex-reports: %1: the line at byte %2 is not a journal "
                                     "entry; passed over")
                          .arg(path_)
                          .arg(offset));
}

} // namespace cli
