#include "ReportErrors.h"

namespace dbstore {

store::NotFound ReportNotFound(const QString& reportId) {
    return store::NotFound(
        QStringLiteral("Report %1 was not found in REPORTS. Nothing was changed.")
            .arg(reportId)
            .toStdString());
}

store::NotUnique ReportNotUnique(const QString& reportId, int rows) {
    return store::NotUnique(
        QStringLiteral("%1 rows in REPORTS have the identifier %2: the report identifier is not "
                       "unique")
            .arg(rows)
            .arg(reportId)
            .toStdString());
}

} // namespace dbstore
