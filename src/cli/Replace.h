#pragma once

#include "Command.h"
#include "Journal.h"
#include "core/Replacement.h"

#include <map>
#include <memory>

namespace cli {

// The window's replacement, verified, and not repeated when already done; journalled.
class Replace : public Command {
public:
    // What a run recorded of the bytes it replaced a layout with, and of those it replaced.
    struct Expected {
        store::ContentDigest stored; // the database must hold these
        store::ContentDigest file;   // and the file these
    };

    Replace();
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;
    Report Failed(const Target& target, const QString& text,
                  const std::stop_token& stop) const override;
    void Tally(const Report& report) override;
    void Finish(int databases, int failed) override;
    void Count(QJsonObject& summary) const override;
    int ExitCode(int failed) const override;

protected:
    // For a command that stores another file than its second argument.
    explicit Replace(Definition definition);
    // The file whose bytes are stored on the database.
    virtual QString templateFile(const Target&) const { return invocation().args[1]; }
    virtual QString reportId() const { return invocation().args[0]; }
    // The run whose changes this one takes back, if it does.
    virtual QString undoes() const { return {}; }
    const QString& backupDirectory() const { return backupDirectory_; }
    const Journal& journal() const { return *journal_; }
    void Check(const QCommandLineParser& parser) override;

    // The file stored on the database, journalled; where bytes are expected, only where the
    // stored ones and the file's are those.
    Report Replacing(const Target& target, const QString& file,
                     const std::optional<Expected>& expected, store::LayoutStore& layouts,
                     Supervisor::Work& work) const;

private:
    // The line for the outcome on the database, and its JSON object.
    // The outcome told, for people and in the entry.
    Report Told(const Target& target, const QString& file, const core::Outcome& outcome,
                const Supervisor::Work& work, JournalEntry& entry) const;
    Report failedReport(const Target& target, const QString& text) const;
    // A journal line, also the JSON object of its outcome: the run's, the layout's and the bytes',
    // and the server's where the store reached one.
    JournalEntry entryOf(const Target& target, const QString& file, const core::Outcome& outcome,
                         const QString& event, const store::LayoutStore* reached) const;
    // The outcome line written, and the report told when it could not be.
    void journalled(const Target& target, const JournalEntry& entry, Report& report,
                    const std::stop_token& stop) const;
    int counted(core::Outcome::Result result) const;

    QString backupDirectory_; // empty: the working directory
    std::unique_ptr<Journal> journal_;
    bool dryRun_ = false;
    bool fullVerify_ = false;
    std::map<core::Outcome::Result, int> counts_;
};

} // namespace cli
