#pragma once

// The data module's design-time settings as the tool ships them (resources/TDM.json in the source
// tree), so that tests run its very statements and connection lines rather than copies of them.

#include <QString>
#include <QStringList>

namespace fbtest {

// The lines of one setting, e.g. ("IBReports", "ModifySQL") or ("IBD", "Params"). Fails the
// calling test when the setting is missing.
QStringList DesignLines(const QString& component, const QString& setting);

} // namespace fbtest
