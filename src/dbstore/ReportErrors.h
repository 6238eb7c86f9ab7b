#pragma once

#include "store/LayoutStore.h"

#include <QString>

namespace dbstore {

// Locating a report whose identifier no row has.
store::NotFound ReportNotFound(const QString& reportId);
// Locating a report whose identifier several rows share: which one holds the layout is anyone's
// guess, so it is refused, as an update of such an identifier is.
store::NotUnique ReportNotUnique(const QString& reportId, int rows);

} // namespace dbstore
