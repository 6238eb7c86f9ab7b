#pragma once

#include "Command.h"

#include <QStringList>
#include <memory>

namespace cli {

// What a run came to, for its summary.
struct RunSummary {
    QString command = {};
    int databases = 0; // worked on, duplicates aside
    Tally tally = {};
    QList<Count> counted = {}; // the command's counts, in order
    QStringList notStarted = {};
    bool interrupted = false; // by a termination signal
    int exitCode = 0;
    QStringList lines = {}; // the command's own, for people, before the counts
    QJsonObject json = {};  // and in the JSON summary
};

// Tells the databases' reports in turn and the run's summary: for people, or as JSON.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void Database(const Report& report) = 0;
    virtual void Summary(const RunSummary& summary) = 0;
};

std::unique_ptr<Reporter> ReporterFor(const Invocation& invocation);

} // namespace cli
