#include "ReportCommands.h"

#include "platform/Resources.h"

#include <QFile>
#include <QTextStream>

namespace core {
namespace {

// Lines of "<action> <identifier>"; blank lines and lines starting with "#" say nothing.
std::vector<ReportCommand> LoadReportCommands() {
    platform::LoadDesignResources();
    QFile file(QStringLiteral(":/ReportCommands.txt"));
    file.open(QIODevice::ReadOnly | QIODevice::Text);
    std::vector<ReportCommand> commands;
    QTextStream lines(&file);
    for (QString line; lines.readLineInto(&line);) {
        const QStringList words = line.split(u'\t', Qt::SkipEmptyParts);
        if (words.size() == 2 && !line.startsWith(u'#'))
            commands.push_back({words[0].trimmed(), words[1].trimmed()});
    }
    return commands;
}

} // namespace

const std::vector<ReportCommand>& ReportCommands() {
    static const std::vector<ReportCommand> commands = LoadReportCommands();
    return commands;
}

} // namespace core
