#pragma once

#include "store/Digest.h"

#include <QString>

namespace db {
class Database;
}

namespace dbstore {

// What the layout's row holds now, seen through a new attachment on the connection's target and
// login once the connection's own attachment has gone from the server: by then a commit it sent
// has either taken effect or never will. Raises when that cannot be seen within seconds.
store::ContentDigest StoredAfterLostConnection(const db::Database& lost, const QString& reportId);

} // namespace dbstore
