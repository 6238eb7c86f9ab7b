#pragma once

#include "store/LayoutStore.h"

#include <QString>
#include <optional>

namespace core {

// What a database holds under an identifier, told by its length and HASH() alone.
struct LayoutStatus {
    enum class State {
        Same,   // the length and hash of the file asked about
        Other,  // another length or hash
        Stored, // a layout, no file asked about
        NoRow   // no row has the identifier
    };
    State state = State::NoRow;
    store::Fingerprint stored; // unless NoRow
};

// The file's length and HASH(), as the database would tell them of the same bytes. Raises the
// file's error.
store::Fingerprint FileFingerprint(const QString& path);

// Compared with the file's fingerprint where one is given; the layout is never read.
// store::NotUnique when several rows have the identifier.
LayoutStatus StatusOf(store::LayoutStore& store, const QString& reportId,
                      const std::optional<store::Fingerprint>& file);

} // namespace core
