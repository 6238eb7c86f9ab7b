#include "Replace.h"

#include "Output.h"
#include "Supervisor.h"

#include <unistd.h>

namespace cli {
namespace {

// Transfers smaller than this end before a progress line would be read.
constexpr qint64 ProgressThreshold = 4 << 20;

const QCommandLineOption BackupDir{QStringLiteral("backup-dir"),
                                   QStringLiteral("the folder for backups and where restore looks "
                                                  "for them. Default: the working directory."),
                                   QStringLiteral("dir")};
const QCommandLineOption Verify{QStringLiteral("verify"),
                                QStringLiteral("how the stored bytes are checked before the "
                                               "commit: hash, their length and the server's "
                                               "HASH() in one round trip, or full, read back "
                                               "whole. Default: hash."),
                                QStringLiteral("mode"), QStringLiteral("hash")};
const QCommandLineOption DryRun{QStringLiteral("dry-run"),
                                QStringLiteral("write the backup, then roll back; nothing stored "
                                               "changes.")};

// One line on a terminal's standard error, rewritten as a large transfer goes on.
class TerminalProgress {
public:
    explicit TerminalProgress(bool wanted) : enabled_(wanted && ::isatty(STDERR_FILENO) == 1) {}
    ~TerminalProgress() {
        if (shown_)
            std::fputs("\r\033[K", stderr);
    }
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    void operator()(const core::Progress& progress) {
        if (!enabled_ || progress.total < ProgressThreshold)
            return;
        std::fprintf(stderr, "\r\033[K%s: %.1f of %.1f MiB",
                     qUtf8Printable(core::PhaseText(progress.phase)), progress.done / 1048576.0,
                     progress.total / 1048576.0);
        shown_ = true;
    }

private:
    const bool enabled_;
    bool shown_ = false;
};

} // namespace

Replace::Replace()
    : Replace(
          {QStringLiteral("replace"),
           {{QStringLiteral("ID")}, {QStringLiteral("FILE")}},
           {},
           QStringLiteral(
               "back up the stored layout to B_<ID>_<yymmddhhnnss>.FR3, store the "
               "file's bytes, check what the server stored, commit; nothing when they are stored "
               "already")}) {}

// Replace and every command built on it take the backup folder and the dry run.
Replace::Replace(Definition definition)
    : Command([&] {
          definition.options += {BackupDir, DryRun, Verify};
          return std::move(definition);
      }()) {}

void Replace::Check(const QCommandLineParser& parser) {
    backupDirectory_ = parser.value(BackupDir);
    dryRun_ = parser.isSet(DryRun);
    const QString verify = parser.value(Verify);
    if (verify != u"hash" && verify != u"full")
        throw UsageProblem{QStringLiteral("--verify takes hash or full, not %1").arg(verify)};
    fullVerify_ = verify == u"full";
}

Report Replace::Run(const Target& target, store::LayoutStore& layouts,
                    Supervisor::Work& work) const {
    const QString file = templateFile();
    core::Replacer replacer(layouts);
    const Supervisor::Stopper stopper(work, [&](store::LayoutStore::Cancel how) {
        how == store::LayoutStore::Cancel::Raise ? replacer.Cancel() : replacer.Abort();
    });
    // Several databases' progress at once would overwrite each other's line.
    TerminalProgress progress(invocation().OneAtATime());
    replacer.OnProgress = [&](const core::Progress& step) {
        progress(step);
    };
    const core::ReplaceOptions options{backupDirectory_, dryRun_, true, true, true, fullVerify_};
    return Told(target, file, replacer.Replace(invocation().args[0], file, options), work);
}

Report Replace::Told(const Target& target, const QString& file, const core::Outcome& outcome,
                     const Supervisor::Work& work) const {
    const QString& reportId = invocation().args[0];
    Report report;
    // Past the backup, a failure leaves it on disk: say where.
    const QString kept = outcome.backupPath.isEmpty()
                             ? QString()
                             : QStringLiteral(" (the backup %1 stays)").arg(outcome.backupPath);
    const QString head = target.database + QStringLiteral(": ");
    switch (outcome.result) {
    case core::Outcome::Result::Replaced:
        report.Say(head + QStringLiteral("replaced %1 with %2 of %3; the %4 stored before "
                                         "are in %5")
                              .arg(reportId, Describe(outcome.replacement), file,
                                   Describe(outcome.stored), outcome.backupPath));
        break;
    case core::Outcome::Result::Unchanged:
        report.Say(
            head +
            QStringLiteral("unchanged %1: it already holds the bytes of %2").arg(reportId, file));
        break;
    case core::Outcome::Result::DryRun:
        report.Say(head + QStringLiteral("dry run %1: backed up %2 to %3; would store %4 "
                                         "of %5; rolled back")
                              .arg(reportId, Describe(outcome.stored), outcome.backupPath,
                                   Describe(outcome.replacement), file));
        break;
    case core::Outcome::Result::InDoubt:
        // Neither done nor failed: counted on its own, and the exit code says so.
        report.Complain(target.database, outcome.text + kept);
        report.Say(head + QStringLiteral("IN DOUBT %1: the layout may or may not be stored; "
                                         "check it before trying again")
                              .arg(reportId));
        break;
    case core::Outcome::Result::Failed:
    case core::Outcome::Result::Error:
        report = Failed(target, work.failureText(outcome.text + kept));
        break;
    }
    report.result = outcome.result;
    return report;
}

Report Replace::Failed(const Target& target, const QString& text) const {
    Report report = Command::Failed(target, text);
    report.Say(QStringLiteral("%1: FAILED %2: nothing stored was changed")
                   .arg(target.database, invocation().args[0]));
    return report;
}

void Replace::Tally(const Report& report) {
    if (report.result)
        ++counts_[*report.result];
}

void Replace::Finish(int databases, int failed) {
    using Result = core::Outcome::Result;
    QString summary = QStringLiteral("%1 database(s): %2 replaced, %3 unchanged")
                          .arg(databases)
                          .arg(counted(Result::Replaced))
                          .arg(counted(Result::Unchanged));
    if (dryRun_)
        summary += QStringLiteral(", %1 dry run").arg(counted(Result::DryRun));
    summary += QStringLiteral(", %1 failed").arg(failed);
    if (counted(Result::InDoubt) > 0)
        summary += QStringLiteral(", %1 in doubt").arg(counted(Result::InDoubt));
    Print(stdout, summary);
}

// What may or may not be stored outranks what surely was not.
int Replace::ExitCode(int failed) const {
    return counted(core::Outcome::Result::InDoubt) > 0 ? 3 : Command::ExitCode(failed);
}

int Replace::counted(core::Outcome::Result result) const {
    const auto found = counts_.find(result);
    return found == counts_.end() ? 0 : found->second;
}

} // namespace cli
