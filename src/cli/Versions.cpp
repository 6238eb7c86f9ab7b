#include "Versions.h"

#include "core/Status.h"
#include "platform/Files.h"

#include <QDir>

namespace cli {
namespace {

std::pair<qint64, qint64> Key(const store::Fingerprint& version) {
    return {version.size, version.serverHash};
}

} // namespace

QString VersionName::Text() const {
    return run.isEmpty() ? file : QStringLiteral("%1 of run %2").arg(file, run);
}

VersionNames VersionNames::OfFolder(const QString& folder) {
    const QDir dir(folder);
    if (!dir.exists())
        throw platform::FileError(
            QStringLiteral("Cannot open folder \"%1\". No such folder").arg(dir.absolutePath()));
    VersionNames names;
    // Symbolic links are left out: a link to a device or a FIFO would never end.
    for (const QString& entry :
         dir.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Name)) {
        const store::Fingerprint version = core::FileFingerprint(dir.filePath(entry));
        const std::optional<VersionName> known = names.Find(version);
        names.Name(version, {known ? known->file + QStringLiteral(" = ") + entry : entry});
    }
    return names;
}

VersionNames VersionNames::OfJournal(const Journal& journal, const QString& reportId) {
    VersionNames names;
    journal.Read(Journal::Direction::Forward, [&](const JournalEntry& line) {
        if (line.event == u"outcome" && line.outcome == u"replaced" && line.id == reportId)
            if (const std::optional<store::Fingerprint> stored = line.afterFingerprint())
                names.Name(*stored, {line.file, line.stamp.run});
        return true;
    });
    return names;
}

void VersionNames::Name(const store::Fingerprint& version, const VersionName& name) {
    names_.insert_or_assign(Key(version), name);
}

std::optional<VersionName> VersionNames::Find(const store::Fingerprint& version) const {
    const auto found = names_.find(Key(version));
    return found == names_.end() ? std::nullopt : std::optional(found->second);
}

} // namespace cli
