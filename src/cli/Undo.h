#pragma once

#include "Replace.h"

#include <vector>

namespace cli {

// What a run may have stored on one database, as its journal tells it.
struct StoredByRun {
    QString target;
    QString dbUser;
    QString reportId;
    QString backup;             // the bytes it replaced, in a file
    Replace::Expected expected; // the bytes it stored, and the backup's
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

// Takes back a journalled run: on each database it may have stored its bytes on, the backup it
// made is restored, where the layout still holds what that run stored and the backup what the
// journal recorded of it.
class Undo final : public Replace {
public:
    Undo();
    QList<Target> Targets() const override;
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;

private:
    void Check(const QCommandLineParser& parser) override;
    QString reportId() const override { return steps_.front().reportId; }
    QString undoes() const override { return run_; }

    QString run_;
    std::vector<StoredByRun> steps_;
};

} // namespace cli
