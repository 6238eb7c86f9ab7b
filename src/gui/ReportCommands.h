#pragma once

#include <QString>
#include <vector>

// One layout the window offers: the menu action that replaces it and its report identifier.
struct ReportCommand {
    QString action;
    QString reportId;
};

// Every layout command, in menu order, as the design-time list names them.
const std::vector<ReportCommand>& ReportCommands();

// Lines of "<action><tab><identifier>"; blank lines and lines starting with "#" say nothing. Any
// other line fails, naming its number: a layout left out would be a menu command doing nothing.
std::vector<ReportCommand> ParseReportCommands(const QString& text);
