#include "Reporter.h"

#include "Json.h"
#include "Output.h"

#include <QJsonArray>

namespace cli {
namespace {

// Lines on standard output and errors on standard error.
class TextReporter final : public Reporter {
public:
    void Database(const Report& report) override {
        for (const Report::Line& line : report.lines)
            Print(line.stream, line.text);
    }

    // "3 database(s): 2 replaced, 1 unchanged, 0 failed".
    void Summary(const RunSummary& summary) override {
        for (const QString& line : summary.lines)
            Print(stdout, line);
        if (summary.counted.isEmpty())
            return;
        QStringList counts;
        for (const Count& count : summary.counted) {
            const int n = summary.tally[count.result];
            if (count.told == Count::Told::Always || (count.told == Count::Told::WhenAny && n > 0))
                counts << QStringLiteral("%1 %2").arg(n).arg(
                    QString(count.result).replace(u'-', u' '));
        }
        Print(stdout, QStringLiteral("%1 database(s): %2")
                          .arg(summary.databases)
                          .arg(counts.join(QStringLiteral(", "))));
    }
};

// One object a database and one for the run on standard output; errors still on standard error.
class JsonReporter final : public Reporter {
public:
    explicit JsonReporter(const Invocation& invocation) : invocation_(invocation) {}

    void Database(const Report& report) override {
        for (const Report::Line& line : report.lines)
            if (line.stream == stderr)
                Print(line.stream, line.text);
        if (report.json)
            PrintJson(*report.json);
    }

    void Summary(const RunSummary& summary) override {
        QJsonObject object = summary.json;
        Stamp::OfRun(invocation_, summary.command).WriteTo(object);
        object.insert("event", "summary");
        object.insert("databases", summary.databases);
        object.insert("duplicates", summary.tally.duplicates());
        object.insert("failed", summary.tally.failed());
        for (const Count& count : summary.counted)
            object.insert(QString(count.result).replace(u'-', u'_'), summary.tally[count.result]);
        object.insert("not_started", QJsonArray::fromStringList(summary.notStarted));
        object.insert("exit", summary.exitCode);
        PrintJson(object);
    }

private:
    const Invocation& invocation_;
};

} // namespace

std::unique_ptr<Reporter> ReporterFor(const Invocation& invocation) {
    if (invocation.json)
        return std::make_unique<JsonReporter>(invocation);
    return std::make_unique<TextReporter>();
}

} // namespace cli
