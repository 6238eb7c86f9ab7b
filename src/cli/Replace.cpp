#include "Replace.h"

#include "Output.h"
#include "Supervisor.h"

#include <QFileInfo>
#include <unistd.h>

namespace cli {
namespace {

// Transfers smaller than this end before a progress line would be read.
constexpr qint64 ProgressThreshold = 4 << 20;

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

// An administrator wants to know why a backup could not be written (a full disk, a quota).
QString WithReason(const core::Outcome& outcome) {
    return outcome.systemReason.isEmpty()
               ? outcome.text
               : outcome.text + QStringLiteral(". ") + outcome.systemReason;
}

// The outcome as the journal and the JSON object name it.
QString OutcomeName(core::Outcome::Result result) {
    using Result = core::Outcome::Result;
    switch (result) {
    case Result::Replaced:
        return QStringLiteral("replaced");
    case Result::Unchanged:
        return QStringLiteral("unchanged");
    case Result::DryRun:
        return QStringLiteral("dry-run");
    case Result::InDoubt:
        return QStringLiteral("in-doubt");
    case Result::Changed:
        return QStringLiteral("skipped");
    case Result::Failed:
    case Result::Error:
        break;
    }
    return QStringLiteral("failed");
}

// The line of a replacement that ended as asked: stored, found stored already, or rolled back.
QString DoneText(const QString& id, const QString& file, const core::Outcome& outcome) {
    if (outcome.result == core::Outcome::Result::Unchanged)
        return QStringLiteral("unchanged %1: it already holds the bytes of %2").arg(id, file);
    if (outcome.result == core::Outcome::Result::DryRun)
        return QStringLiteral("dry run %1: backed up %2 to %3; would store %4 of %5; rolled back")
            .arg(id, Describe(outcome.stored), outcome.backupPath, Describe(outcome.replacement),
                 file);
    return QStringLiteral("replaced %1 with %2 of %3; the %4 stored before are in %5")
        .arg(id, Describe(outcome.replacement), file, Describe(outcome.stored), outcome.backupPath);
}

} // namespace

Replace::Replace()
    : Replace(
          {QStringLiteral("replace"),
           {{IdArgument}, {QStringLiteral("FILE")}},
           {},
           QStringLiteral(
               "back up the stored layout to B_<ID>_<yymmddhhnnss>.FR3, store the "
               "file's bytes, check what the server stored, commit; nothing when they are stored "
               "already")}) {}

// Replace and every command built on it take the backup folder and the dry run.
Replace::Replace(Definition definition)
    : Command([&] {
          definition.options += {BackupDirOption, DryRun, Verify};
          return std::move(definition);
      }()) {}

void Replace::Check(const QCommandLineParser& parser) {
    backupDirectory_ = parser.value(BackupDirOption);
    dryRun_ = parser.isSet(DryRun);
    const QString verify = parser.value(Verify);
    if (verify != u"hash" && verify != u"full")
        throw UsageProblem{QStringLiteral("--verify takes hash or full, not %1").arg(verify)};
    fullVerify_ = verify == u"full";
    journal_ = std::make_unique<Journal>(backupDirectory_);
}

Report Replace::Run(const Target& target, store::LayoutStore& layouts,
                    Supervisor::Work& work) const {
    return Replacing(target, templateFile(), std::nullopt, layouts, work);
}

Report Replace::Replacing(const Target& target, const QString& file,
                          const std::optional<Expected>& expected, store::LayoutStore& layouts,
                          Supervisor::Work& work) const {
    core::Replacer replacer(layouts);
    const Supervisor::Stopper stopper(work, [&](store::LayoutStore::Cancel how) {
        how == store::LayoutStore::Cancel::Raise ? replacer.Cancel() : replacer.Abort();
    });
    // Several databases' progress at once would overwrite each other's line.
    TerminalProgress progress(invocation().OneAtATime());
    replacer.OnProgress = [&](const core::Progress& step) {
        progress(step);
    };
    // Like a backup that cannot be written, a journal that cannot be keeps the commit from
    // happening.
    const auto prepare = [&](const core::Outcome& prepared) {
        journal_->Append(
            entryOf(target, file, prepared, QStringLiteral("prepare"), layouts.EngineVersion()),
            work.stopToken());
    };
    core::ReplaceOptions options{.backupDirectory = backupDirectory_,
                                 .dryRun = dryRun_,
                                 .verifyStored = true,
                                 .skipIdenticalContent = true,
                                 .digests = true,
                                 .fullVerify = fullVerify_,
                                 .beforeCommit = prepare};
    if (expected) {
        options.expectedStored = expected->stored;
        options.expectedFile = expected->file;
    }
    const core::Outcome outcome = replacer.Replace(reportId(), file, options);
    JournalEntry entry =
        entryOf(target, file, outcome, QStringLiteral("outcome"), layouts.EngineVersion());
    Report report = Told(target, file, outcome, work, entry);
    journalled(target, entry, report, work.stopToken());
    return report;
}

Report Replace::Told(const Target& target, const QString& file, const core::Outcome& outcome,
                     const Supervisor::Work& work, JournalEntry& entry) const {
    using Result = core::Outcome::Result;
    const QString id = reportId();
    Report report;
    // Past the backup, a failure leaves it on disk: say where.
    const QString kept = outcome.backupPath.isEmpty()
                             ? QString()
                             : QStringLiteral(" (the backup %1 stays)").arg(outcome.backupPath);
    const QString head = target.database + QStringLiteral(": ");
    QString error;
    switch (outcome.result) {
    case Result::InDoubt:
        // Neither done nor failed: counted on its own, and the exit code says so.
        error = outcome.text + kept;
        report.Complain(target.database, error);
        report.Say(head + QStringLiteral("IN DOUBT %1: the layout may or may not be stored; "
                                         "check it before trying again")
                              .arg(id));
        break;
    case Result::Changed:
        // What another user stored since is theirs: counted as failed, to be looked at.
        error = QStringLiteral("changed since run %1 (now %2 bytes, SHA-256 %3)")
                    .arg(undoes())
                    .arg(outcome.stored.size)
                    .arg(QString::fromLatin1(outcome.stored.sha256));
        report.failed = true;
        report.Say(head + QStringLiteral("SKIPPED %1: %2").arg(id, error));
        break;
    case Result::Failed:
    case Result::Error:
        error = work.failureText(WithReason(outcome) + kept);
        report = failedReport(target, error);
        break;
    default:
        report.Say(head + DoneText(id, file, outcome));
    }
    report.result = outcome.result;
    entry.outcome = OutcomeName(outcome.result);
    entry.error = PlainLines(error);
    report.json = entry.ToJson();
    return report;
}

namespace {

std::optional<store::ContentDigest> Known(const store::ContentDigest& digest) {
    return digest.sha256.isEmpty() ? std::nullopt : std::optional(digest);
}

// Full paths: the journal is read from wherever undo runs.
QString FullPath(const QString& path) {
    return path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
}

} // namespace

JournalEntry Replace::entryOf(const Target& target, const QString& file,
                              const core::Outcome& outcome, const QString& event,
                              const std::optional<QString>& engine) const {
    return {.stamp = Stamp::OfTarget(invocation(), definition().name, target),
            .event = event,
            .id = reportId(),
            .engine = engine,
            .before = Known(outcome.stored),
            .after = Known(outcome.replacement),
            .serverHashAfter = outcome.replacementFingerprint
                                   ? std::optional(outcome.replacementFingerprint->serverHash)
                                   : std::nullopt,
            .file = FullPath(file),
            .backup = FullPath(outcome.backupPath),
            .undoes = undoes()};
}

// A line that cannot be written after the commit loses nothing: the prepare line before it stands
// for the change, and the stored bytes tell whether it went through.
void Replace::journalled(const Target& target, const JournalEntry& entry, Report& report,
                         const std::stop_token& stop) const {
    try {
        journal_->Append(entry, stop);
    } catch (const std::exception& error) {
        report.Complain(target.database, QString::fromUtf8(error.what()));
    }
}

Report Replace::failedReport(const Target& target, const QString& text) const {
    Report report = Command::Failed(target, text, {});
    report.Say(QStringLiteral("%1: FAILED %2: nothing stored was changed")
                   .arg(target.database, reportId()));
    return report;
}

// Failed before the replacement began (the connect, the file to restore) or cut short by a
// signal: journalled all the same.
Report Replace::Failed(const Target& target, const QString& text,
                       const std::stop_token& stop) const {
    Report report = failedReport(target, text);
    JournalEntry entry =
        entryOf(target, QString(), core::Outcome{}, QStringLiteral("outcome"), std::nullopt);
    entry.outcome = QStringLiteral("failed");
    entry.error = PlainLines(text);
    report.json = entry.ToJson();
    journalled(target, entry, report, stop);
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

void Replace::Count(QJsonObject& summary) const {
    using Result = core::Outcome::Result;
    summary.insert("replaced", counted(Result::Replaced));
    summary.insert("unchanged", counted(Result::Unchanged));
    summary.insert("dry_run", counted(Result::DryRun));
    summary.insert("in_doubt", counted(Result::InDoubt));
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
