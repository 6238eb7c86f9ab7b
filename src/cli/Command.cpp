#include "Command.h"

#include "Json.h"
#include "Output.h"

#include <algorithm>

namespace cli {

QString Spelled(const QString& optionName) {
    return (optionName.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + optionName;
}

QString Command::synopsis() const {
    QString synopsis = definition_.name;
    for (const Argument& argument : definition_.arguments)
        synopsis +=
            argument.optional ? QStringLiteral(" [%1]").arg(argument.name) : u' ' + argument.name;
    return synopsis;
}

qsizetype Command::fewestArguments() const {
    return std::ranges::count(definition_.arguments, false, &Argument::optional);
}

void Command::Take(const Invocation& invocation, const QCommandLineParser& parser) {
    invocation_ = invocation;
    Check(parser);
}

QJsonObject Command::outcomeFields(const Target& target) const {
    QJsonObject fields;
    Stamp::OfTarget(invocation_, definition_.name, target).WriteTo(fields);
    fields.insert("event", "outcome");
    return fields;
}

void Report::Complain(const QString& database, const QString& text) {
    lines.push_back({stderr, ErrorLine(database, text)});
}

Report Command::Failed(const Target& target, const QString& text,
                       const std::stop_token& /*stop*/) const {
    Report report;
    report.failed = true;
    report.Complain(target.database, text);
    report.json = outcomeFields(target);
    report.json->insert("outcome", "failed");
    report.json->insert("error", PlainLines(text));
    return report;
}

void Tally::Add(const Report& report) {
    failed_ += report.failed ? 1 : 0;
    duplicates_ += report.duplicate ? 1 : 0;
    if (!report.result.isEmpty())
        ++results_[report.result];
    if (report.version)
        ++versions_[*report.version];
}

int Tally::operator[](const QString& result) const {
    if (result == u"failed")
        return failed_;
    const auto found = results_.find(result);
    return found == results_.end() ? 0 : found->second;
}

Report Command::Duplicate(const Target& target, const Target& first) const {
    Report report;
    report.duplicate = true;
    report.Say(QStringLiteral("%1: the same database as %2, worked on once")
                   .arg(target.database, first.database));
    report.json = outcomeFields(target);
    report.json->insert("outcome", "duplicate");
    report.json->insert("same_as", first.database);
    return report;
}

} // namespace cli
