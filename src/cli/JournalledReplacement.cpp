#include "JournalledReplacement.h"

#include "Output.h"
#include "Reporter.h"
#include "SharedOptions.h"
#include "Supervisor.h"
#include "platform/BackupFolder.h"
#include "platform/Files.h"

#include <QFileInfo>
#include <condition_variable>
#include <thread>
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
const QCommandLineOption Canary{
    QStringLiteral("canary"),
    QStringLiteral("work on the first <count> databases first; the others "
                   "start only when each of them ended replaced or "
                   "unchanged, else none does."),
    QStringLiteral("count"), QStringLiteral("0")};
const QCommandLineOption MaxFailures{QStringLiteral("max-failures"),
                                     QStringLiteral("start no database once <count> have failed. "
                                                    "Default: 0, no limit."),
                                     QStringLiteral("count"), QStringLiteral("0")};
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

// A folder that is there and takes new files.
void CheckBackupFolder(const QString& directory) {
    const QString path = directory.isEmpty() ? platform::WorkingDirectory() : directory;
    const QFileInfo folder(path);
    if (!folder.isDir())
        throw UsageProblem{QStringLiteral("the backup folder %1 is not a folder").arg(path)};
    if (::access(QFile::encodeName(path).constData(), W_OK | X_OK) != 0)
        throw UsageProblem{QStringLiteral("the backup folder %1 cannot be written: %2")
                               .arg(path, platform::SystemText(errno))};
}

} // namespace

void CheckReadable(const QString& file) {
    try {
        const platform::InputFile opened(file);
    } catch (const platform::FileError& error) {
        throw UsageProblem{QString::fromUtf8(error.what())};
    }
}

// Every journalled replacement takes the backup folder, the dry run and how to verify.
JournalledReplacement::JournalledReplacement(std::unique_ptr<ReplacementSource> source)
    : Command([&] {
          Definition definition = source->Defined();
          definition.options += {BackupDirOption, DryRun, Verify, Canary, MaxFailures};
          return definition;
      }()),
      source_(std::move(source)) {}

void JournalledReplacement::Check(const QCommandLineParser& parser) {
    backupDirectory_ = parser.value(BackupDirOption);
    dryRun_ = parser.isSet(DryRun);
    const QString verify = parser.value(Verify);
    if (verify != u"hash" && verify != u"full")
        throw UsageProblem{QStringLiteral("--verify takes hash or full, not %1").arg(verify)};
    fullVerify_ = verify == u"full";
    setPace({NumberFrom(parser, Canary, 0, QStringLiteral("databases")),
             NumberFrom(parser, MaxFailures, 0, QStringLiteral("databases"))});
    // Found here, a local fault stops the run before any database is reached, not on each one.
    CheckBackupFolder(backupDirectory_);
    journal_ = std::make_unique<Journal>(backupDirectory_);
    source_->Take(invocation(), parser, backupDirectory_, *journal_);
    try {
        journal_->Open();
    } catch (const std::runtime_error& error) {
        throw UsageProblem{QString::fromUtf8(error.what())};
    }
}

QList<Target> JournalledReplacement::Targets() const {
    return source_->Targets().value_or(invocation().targets);
}

Report JournalledReplacement::Run(const Target& target, store::LayoutStore& layouts,
                                  Supervisor::Work& work) const {
    return replacing(target, source_->For(target), layouts, work);
}

Report JournalledReplacement::replacing(const Target& target, const Replacement& replacement,
                                        store::LayoutStore& layouts, Supervisor::Work& work) const {
    const QString& file = replacement.file;
    // Each database's backups apart, named after it; the journal stays above them all.
    const platform::BackupFolder backups(backupDirectory_, target.database);
    core::Replacer replacer(layouts);
    const Supervisor::Stopper stopper(work, [&](Supervisor::How how) {
        how == Supervisor::How::Raise ? replacer.Cancel() : replacer.Abort();
    });
    // Several databases' progress at once would overwrite each other's line.
    TerminalProgress progress(invocation().OneAtATime());
    replacer.OnProgress = [&](const core::Progress& step) {
        progress(step);
    };
    // Like a backup that cannot be written, a journal that cannot be keeps the commit from
    // happening.
    const auto prepare = [&](const core::Outcome& prepared) {
        journal_->Append(entryOf(target, file, prepared, QStringLiteral("prepare"), &layouts),
                         work.stopToken());
    };
    core::ReplaceOptions options{.backupDirectory = backups.path(),
                                 .dryRun = dryRun_,
                                 .verifyStored = true,
                                 .skipIdenticalContent = true,
                                 .digests = true,
                                 .fullVerify = fullVerify_,
                                 .beforeCommit = prepare};
    if (const std::optional<Expected>& expected = replacement.expected) {
        options.expectedStored = expected->stored;
        options.expectedFile = expected->file;
    }
    const core::Outcome outcome = replacer.Replace(source_->ReportId(), file, options);
    JournalEntry entry = entryOf(target, file, outcome, QStringLiteral("outcome"), &layouts);
    Report report = told(target, file, outcome, work, entry);
    journalled(target, entry, report, work.stopToken());
    return report;
}

Report JournalledReplacement::told(const Target& target, const QString& file,
                                   const core::Outcome& outcome, const Supervisor::Work& work,
                                   JournalEntry& entry) const {
    using Result = core::Outcome::Result;
    const QString id = source_->ReportId();
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
                    .arg(source_->Undoes())
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
    entry.outcome = OutcomeName(outcome.result);
    if (!report.failed)
        report.result = entry.outcome;
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

JournalEntry JournalledReplacement::entryOf(const Target& target, const QString& file,
                                            const core::Outcome& outcome, const QString& event,
                                            const store::LayoutStore* reached) const {
    return {.stamp = Stamp::OfTarget(invocation(), definition().name, target),
            .event = event,
            .id = source_->ReportId(),
            .engine = reached ? reached->EngineVersion() : std::nullopt,
            .compressed = reached ? reached->WireCompressed() : std::nullopt,
            .before = Known(outcome.stored),
            .after = Known(outcome.replacement),
            .serverHashAfter = outcome.replacementFingerprint
                                   ? std::optional(outcome.replacementFingerprint->serverHash)
                                   : std::nullopt,
            .file = FullPath(file),
            .backup = FullPath(outcome.backupPath),
            .undoes = source_->Undoes()};
}

// A line that cannot be written after the commit loses nothing: the prepare line before it stands
// for the change, and the stored bytes tell whether it went through.
void JournalledReplacement::journalled(const Target& target, const JournalEntry& entry,
                                       Report& report, const std::stop_token& stop) const {
    try {
        journal_->Append(entry, stop);
    } catch (const std::exception& error) {
        report.Complain(target.database, QString::fromUtf8(error.what()));
    }
}

Report JournalledReplacement::failedReport(const Target& target, const QString& text) const {
    Report report = Command::Failed(target, text, {});
    report.Say(QStringLiteral("%1: FAILED %2: nothing stored was changed")
                   .arg(target.database, source_->ReportId()));
    return report;
}

Report JournalledReplacement::Failed(const Target& target, const QString& text,
                                     const std::stop_token& stop) const {
    Report report = failedReport(target, text);
    JournalEntry entry =
        entryOf(target, QString(), core::Outcome{}, QStringLiteral("outcome"), nullptr);
    entry.outcome = QStringLiteral("failed");
    entry.error = PlainLines(text);
    report.json = entry.ToJson();
    journalled(target, entry, report, stop);
    return report;
}

namespace {

QList<Count> ReplacementCounts(bool dryRun) {
    using Told = Count::Told;
    return {{QStringLiteral("replaced")},
            {QStringLiteral("unchanged")},
            {QStringLiteral("dry-run"), dryRun ? Told::Always : Told::InJsonOnly},
            {QStringLiteral("failed")},
            {QStringLiteral("in-doubt"), Told::WhenAny}};
}

} // namespace

// Tells the runs in the journal whose databases it never started, and how it was paced. The wait
// for the journal's lock gives way as the databases' did: at once when interrupted, else after
// --timeout.
void JournalledReplacement::Conclude(RunSummary& summary) {
    summary.counted = ReplacementCounts(dryRun_);
    const JournalEntry entry{.stamp = Stamp::OfRun(invocation(), definition().name),
                             .event = QStringLiteral("summary"),
                             .id = source_->ReportId(),
                             .undoes = source_->Undoes(),
                             .canary = pace().canary,
                             .maxFailures = pace().maxFailures,
                             .notStarted = summary.notStarted};
    std::stop_source giveUp;
    if (summary.interrupted)
        giveUp.request_stop();
    const std::jthread deadline([&, seconds = invocation().targetTimeout](std::stop_token done) {
        std::mutex mutex;
        std::unique_lock lock(mutex);
        std::condition_variable_any woken;
        woken.wait_for(lock, done, std::chrono::seconds(seconds), [] { return false; });
        if (seconds > 0 && !done.stop_requested())
            giveUp.request_stop();
    });
    try {
        journal_->Append(entry, giveUp.get_token());
    } catch (const std::exception& error) {
        Print(stderr, QStringLiteral("korvex-reports: ") + QString::fromUtf8(error.what()));
    }
}

int JournalledReplacement::ExitCode(const Tally& tally) const {
    return tally[QStringLiteral("in-doubt")] > 0 ? 3 : Command::ExitCode(tally);
}

} // namespace cli
