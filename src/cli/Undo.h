#pragma once

#include "Replace.h"

#include <QJsonObject>
#include <vector>

namespace cli {

// What a run stored on one database, as its journal tells it.
struct StoredByRun {
    QString target;
    QString dbUser;
    QString reportId;
    QString backup;              // the bytes it replaced
    store::ContentDigest stored; // the bytes it stored
    bool settled = false;        // an outcome line says replaced; else the stored bytes decide
};

// The databases a journalled run replaced a layout on, in its order: each outcome "replaced", and
// each "prepare" with no outcome after it (the run ended between the two) or a commit in doubt.
std::vector<StoredByRun> StoredBy(const QList<QJsonObject>& journal, const QString& run);

// The database of a journal line as a target to work on: one the command line names keeps its
// own login; the database user is the journal's where that sets none, the password the run's.
Target TargetOf(const StoredByRun& stored, const Invocation& invocation);

// Takes back a journalled run: on each database it replaced a layout on, the backup it made is
// restored, where the layout still holds what that run stored.
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
