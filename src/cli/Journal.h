#pragma once

#include "platform/Files.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <mutex>
#include <optional>

namespace cli {

// What replace, restore and undo are about to store on each database and what came of it, one
// compact JSON object a line in korvex-journal.jsonl of the backup folder, each line on the disk
// before the tool goes on. Shared by the threads of a run and by the runs of several processes.
class Journal {
public:
    static constexpr const char* FileName = "korvex-journal.jsonl";

    // The journal of the backup folder, the working directory when empty; opened with the first
    // line.
    explicit Journal(const QString& backupDirectory);

    const QString& path() const { return path_; }

    // From any thread. Throws std::runtime_error "The journal <path> cannot be written. <why>".
    void Append(const QJsonObject& line);

    // Its lines in order, nothing when there is no journal. A line that is not a JSON object, as
    // a crash in the middle of a write may leave, is passed over.
    QList<QJsonObject> Read() const;

private:
    const QString path_;
    std::mutex mutex_;
    std::optional<platform::AppendFile> file_;
};

} // namespace cli
