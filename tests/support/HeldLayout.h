#pragma once

#include "datamodule/Data.h"

#include <stdexcept>

namespace apptest {

// Another user's change of a layout, posted and not committed: a writer of that row waits on its
// lock until Release.
class HeldLayout {
public:
    HeldLayout(const QString& target, const QString& reportId) {
        other_.UseTarget(target);
        other_.OpenReportList();
        if (!other_.IBReports.Locate("ID", reportId))
            throw std::runtime_error("no row to hold");
        other_.IBReports.Edit();
        other_.IBReports.CreateContentWriter("DESCR")->write("other", 5);
        other_.IBReports.Post();
    }
    void Release() { other_.IBT.Rollback(); }

private:
    TDM other_;
};

} // namespace apptest
