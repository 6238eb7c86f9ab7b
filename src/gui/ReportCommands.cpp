#include "ReportCommands.h"

#include "platform/Resources.h"

#include <QFile>
#include <stdexcept>

namespace {

std::vector<ReportCommand> LoadReportCommands() {
    platform::LoadDesignResources();
    QFile file(QStringLiteral(":/ReportCommands.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw std::runtime_error("The layout commands (ReportCommands.txt) are missing");
    return ParseReportCommands(QString::fromUtf8(file.readAll()));
}

} // namespace

const std::vector<ReportCommand>& ReportCommands() {
    static const std::vector<ReportCommand> commands = LoadReportCommands();
    return commands;
}

std::vector<ReportCommand> ParseReportCommands(const QString& text) {
    std::vector<ReportCommand> commands;
    const QStringList lines = text.split(u'\n');
    for (qsizetype number = 1; number <= lines.size(); ++number) {
        const QString line = lines[number - 1].trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QStringList words = line.split(u'\t', Qt::SkipEmptyParts);
        if (words.size() != 2)
            throw std::runtime_error(QStringLiteral("ReportCommands.txt, line %1: \"%2\" is not "
                                                    "<action><tab><identifier>")
                                         .arg(number)
                                         .arg(line)
                                         .toStdString());
        commands.push_back({words[0].trimmed(), words[1].trimmed()});
    }
    return commands;
}
