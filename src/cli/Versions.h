#pragma once

#include "Journal.h"
#include "store/Digest.h"

#include <QString>
#include <map>
#include <optional>
#include <utility>

namespace cli {

// A version of a layout known by a name: a file of a folder, or the file a journalled run stored.
struct VersionName {
    QString file;
    QString run = {}; // the run that stored it; empty for a file of a folder

    // "new.fr3", "/srv/layouts/new.fr3 of run 20261210T123456Z-3f9a1c".
    QString Text() const;
};

// The versions of one layout that have names, by their length and the server's HASH(): what a
// database tells of its layout in one query.
class VersionNames {
public:
    // Every regular file directly in the folder, hashed here; files with the same bytes share a
    // name ("a.fr3 = b.fr3"). Throws platform::FileError.
    static VersionNames OfFolder(const QString& folder);
    // The files the journal's runs stored as the layout, each version named by the latest run
    // that stored it. Throws platform::FileError.
    static VersionNames OfJournal(const Journal& journal, const QString& reportId);

    void Name(const store::Fingerprint& version, const VersionName& name);
    std::optional<VersionName> Find(const store::Fingerprint& version) const;
    bool empty() const { return names_.empty(); }

private:
    std::map<std::pair<qint64, qint64>, VersionName> names_; // by size and hash
};

} // namespace cli
