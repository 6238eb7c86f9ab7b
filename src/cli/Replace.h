#pragma once

#include "Command.h"
#include "core/Replacement.h"

#include <map>

namespace cli {

// The window's replacement, verified, and not repeated when already done.
class Replace : public Command {
public:
    Replace();
    Report Run(const Target& target, store::LayoutStore& layouts,
               Supervisor::Work& work) const override;
    Report Failed(const Target& target, const QString& text) const override;
    void Tally(const Report& report) override;
    void Finish(int databases, int failed) override;
    int ExitCode(int failed) const override;

protected:
    // For a command that stores another file than its second argument.
    explicit Replace(Definition definition);
    // The file whose bytes are stored.
    virtual QString templateFile() const { return invocation().args[1]; }
    const QString& backupDirectory() const { return backupDirectory_; }
    void Check(const QCommandLineParser& parser) override;

private:
    // The line for the outcome on the database.
    Report Told(const Target& target, const QString& file, const core::Outcome& outcome,
                const Supervisor::Work& work) const;
    int counted(core::Outcome::Result result) const;

    QString backupDirectory_; // empty: the working directory
    bool dryRun_ = false;
    bool fullVerify_ = false;
    std::map<core::Outcome::Result, int> counts_;
};

} // namespace cli
