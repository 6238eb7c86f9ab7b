#pragma once

#include <QString>
#include <vector>

namespace core {

// One layout the window offers: the menu action that replaces it and its report identifier.
struct ReportCommand {
    QString action;
    QString reportId;
};

// Every layout command, in menu order, as the design-time list names them.
const std::vector<ReportCommand>& ReportCommands();

} // namespace core
