#pragma once

#include "Command.h"
#include "Journal.h"
#include "core/Replacement.h"

#include <memory>

namespace cli {

// What a run recorded of the bytes it replaced a layout with, and of those it replaced.
struct Expected {
    store::ContentDigest stored; // the database must hold these
    store::ContentDigest file;   // and the file these
};

// Where a journalled replacement takes the bytes it stores on a database from.
struct Replacement {
    QString file;
    std::optional<Expected> expected = std::nullopt; // when set, only over these bytes
};

// What replace, restore and undo each add to the journalled replacement they share: their
// command line, and the file each database gets.
class ReplacementSource {
public:
    virtual ~ReplacementSource() = default;
    virtual Definition Defined() const = 0;
    // The command line taken, and the backup folder with its journal: throws UsageProblem for
    // what the source refuses.
    virtual void Take(const Invocation& invocation, const QCommandLineParser& parser,
                      const QString& backupDirectory, const Journal& journal) = 0;
    virtual QString ReportId() const = 0;
    // The databases, where the source knows them rather than the command line.
    virtual std::optional<QList<Target>> Targets() const { return std::nullopt; }
    // Throws when there is none for the database.
    virtual Replacement For(const Target& target) const = 0;
    // The run whose changes this one takes back, if it does.
    virtual QString Undoes() const { return {}; }
};

// The file a replacement stores opened once now, so that what would fail every database later
// stops the run before the first. Throws UsageProblem.
void CheckReadable(const QString& file);

// The window's replacement, verified, and not repeated when already done; journalled: a prepare
// line before the commit, an outcome line after it.
class JournalledReplacement final : public Command {
public:
    explicit JournalledReplacement(std::unique_ptr<ReplacementSource> source);

    QList<Target> Targets() const override;
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;
    // Failed before the replacement began or cut short by a signal: journalled all the same.
    Report Failed(const Target& target, const QString& text,
                  const std::stop_token& stop) const override;
    // Its counts, and the run's summary line in the journal.
    void Conclude(RunSummary& summary) override;
    // What may or may not be stored outranks what surely was not.
    int ExitCode(const Tally& tally) const override;

private:
    void Check(const QCommandLineParser& parser) override;

    Report replacing(const Target& target, const Replacement& replacement,
                     store::LayoutStore& layouts, Supervisor::Work& work) const;
    // The outcome told, for people and in the entry.
    Report told(const Target& target, const QString& file, const core::Outcome& outcome,
                const Supervisor::Work& work, JournalEntry& entry) const;
    Report failedReport(const Target& target, const QString& text) const;
    // A journal line, also the JSON object of its outcome: the run's, the layout's and the bytes',
    // and the server's where the store reached one.
    JournalEntry entryOf(const Target& target, const QString& file, const core::Outcome& outcome,
                         const QString& event, const store::LayoutStore* reached) const;
    // The outcome line written, and the report told when it could not be.
    void journalled(const Target& target, const JournalEntry& entry, Report& report,
                    const std::stop_token& stop) const;

    const std::unique_ptr<ReplacementSource> source_;
    QString backupDirectory_; // empty: the working directory
    std::unique_ptr<Journal> journal_;
    bool dryRun_ = false;
    bool fullVerify_ = false;
};

} // namespace cli
