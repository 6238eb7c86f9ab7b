#pragma once

#include "JournalledReplacement.h"

#include <vector>

namespace cli {

// What a run may have stored on one database, as its journal tells it.
struct StoredByRun {
    QString target;
    QString dbUser;
    QString reportId;
    QString backup;    // the bytes it replaced, in a file
    Expected expected; // the bytes it stored, and the backup's
};

// The databases one run may have stored its bytes on, gathered from the journal's lines in order:
// each prepare line unless the outcome line of the same attempt (the same backup) says it failed,
// so an outcome "replaced" or "in-doubt", or none at all (the run ended between the two), keeps it,
// whatever the lines of another attempt on the same database say.
class RunSteps {
public:
    explicit RunSteps(QString run) : run_(std::move(run)) {}

    void Take(const JournalEntry& line);
    const QString& run() const { return run_; }
    // Whether any line of the run was taken.
    bool seen() const { return seen_; }
    // One per database, its first attempt: what was there before the run touched it.
    std::vector<StoredByRun> steps() const;

private:
    QString run_;
    bool seen_ = false;
    std::vector<StoredByRun> prepared_;
};

// undo RUN_ID | --last: takes back a journalled run. On each database it may have stored its
// bytes on, the backup it made is restored, where the layout still holds what that run stored and
// the backup what the journal recorded of it.
class UndoRun final : public ReplacementSource {
public:
    Definition Defined() const override;
    void Take(const Invocation& invocation, const QCommandLineParser& parser,
              const QString& backupDirectory, const Journal& journal) override;
    QString ReportId() const override { return steps_.front().reportId; }
    std::optional<QList<Target>> Targets() const override { return targets_; }
    Replacement For(const Target& target) const override;
    QString Undoes() const override { return run_; }

private:
    QString run_;
    std::vector<StoredByRun> steps_;
    QList<Target> targets_;
};

} // namespace cli
