#include "Rollout.h"

#include "Command.h"
#include "Output.h"
#include "Reporter.h"
#include "Runner.h"
#include "platform/ConnectionTarget.h"
#include "platform/Resources.h"

#include <algorithm>
#include <map>

namespace cli {
namespace {

// The client library cannot cancel a connect, and shutting down the sockets opened since a
// database's work began would, with several at once, cut the other databases' connections too:
// nothing tells which thread a socket was opened for. So no socket is touched: a connect ends by
// its own timeout, bounded by the deadline (3 s past it, when an abort would have dropped it), and
// an interrupted run leaves a connect still waiting to the server.
int ConnectTimeout(const Invocation& invocation) {
    const int asked = invocation.login.connectTimeoutSeconds.value_or(0);
    const int deadlineBound = invocation.targetTimeout + static_cast<int>(AbortAfter.count());
    return invocation.targetTimeout > 0 ? std::min(asked, deadlineBound) : asked;
}

// The databases asked for, each login's unset parts the run's, then the design-time login's; the
// connect timeout is the run's alone. Unless the run forces it either way, compression is asked
// for only from another host: on this machine it costs more time than it saves.
QList<Target> TargetsOf(const Invocation& invocation, const Command& command) {
    QList<Target> targets = command.Targets();
    if (targets.isEmpty())
        targets = {{platform::DefaultConnectionTarget(), {}}};
    const platform::DesignLogin design = platform::LoadDesignLogin();
    for (Target& target : targets) {
        db::ConnectionOptions& login = target.login;
        login.user = login.user.value_or(invocation.login.user.value_or(design.user));
        login.password =
            login.password.value_or(invocation.login.password.value_or(design.password));
        login.connectTimeoutSeconds = ConnectTimeout(invocation);
        login.wireCompression =
            invocation.login.wireCompression.value_or(!platform::IsLocalTarget(target.database));
    }
    return targets;
}

// For each target, the first one named before it as written (blanks around it aside).
std::vector<std::optional<qsizetype>> NamedBefore(const QList<Target>& targets) {
    std::vector<std::optional<qsizetype>> before(targets.size());
    std::map<QString, qsizetype> first;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const auto [place, fresh] = first.try_emplace(targets[i].database.trimmed(), i);
        if (!fresh)
            before[i] = place->second;
    }
    return before;
}

QStringList DatabasesOf(const QList<Target>& targets) {
    QStringList databases;
    for (const Target& target : targets)
        databases << target.database;
    return databases;
}

// Why databases were left unstarted, on standard error.
QString HaltText(const Runner::Halt& halt, const Pace& pace) {
    switch (halt.reason) {
    case Runner::Halt::Reason::Signal:
        return InterruptedText(halt.signal);
    case Runner::Halt::Reason::Canary:
        return QStringLiteral("a canary database did not end replaced or unchanged");
    case Runner::Halt::Reason::Failures:
        break;
    }
    return QStringLiteral("%1 database(s) failed").arg(pace.maxFailures);
}

void SayHalted(const QString& why, const QStringList& notStarted) {
    QString text = QStringLiteral("korvex-reports: %1; %2 database(s) not started")
                       .arg(why)
                       .arg(notStarted.size());
    if (!notStarted.isEmpty())
        text += QStringLiteral(": ") + notStarted.join(QStringLiteral(", "));
    Print(stderr, text);
}

Runner::Verdict VerdictOn(const Report& report) {
    if (report.failed)
        return Runner::Verdict::Failed;
    return report.result == u"in-doubt" ? Runner::Verdict::Doubtful : Runner::Verdict::Good;
}

// The command on each target through the runner: the connections, the databases named twice, and
// the reports in order to the reporter.
class Rollout {
public:
    Rollout(const Invocation& invocation, Command& command, const Connector& connect)
        : invocation_(invocation), command_(command), connect_(connect),
          targets_(TargetsOf(invocation, command)), namedBefore_(NamedBefore(targets_)),
          reports_(targets_.size()), reporter_(ReporterFor(invocation)) {}

    int run();

private:
    Runner::Verdict workOn(qsizetype index, Supervisor::Work& work, Runner& runner);
    Report reportOn(qsizetype index, Supervisor::Work& work, Runner& runner);
    // The target that took the database first under its server's name, if another one did.
    std::optional<qsizetype> claim(qsizetype index, const QByteArray& identity);
    void tell(const Report& report);
    int exitCode(const Runner::End& end) const;
    RunSummary summaryOf(const Runner::End& end) const;

    const Invocation& invocation_;
    Command& command_;
    const Connector& connect_;
    const QList<Target> targets_;
    const std::vector<std::optional<qsizetype>> namedBefore_;
    // Each written by the worker on its target, read once the runner hands the target over.
    std::vector<std::optional<Report>> reports_;

    std::mutex claimedMutex_;
    std::map<QByteArray, qsizetype> claimed_; // by the server's name of the database

    Tally tally_; // the calling thread's
    const std::unique_ptr<Reporter> reporter_;
};

std::optional<qsizetype> Rollout::claim(qsizetype index, const QByteArray& identity) {
    if (identity.isEmpty())
        return std::nullopt;
    const std::lock_guard lock(claimedMutex_);
    const auto [place, fresh] = claimed_.try_emplace(identity, index);
    return fresh ? std::nullopt : std::optional(place->second);
}

// A database named twice is worked on once: two transactions of one run on one row would wait
// for each other, and the second would find the first one's bytes.
Report Rollout::reportOn(qsizetype index, Supervisor::Work& work, Runner& runner) {
    const Target& target = targets_[index];
    if (const std::optional<qsizetype> first = namedBefore_[index])
        return command_.Duplicate(target, targets_[*first]);
    try {
        const std::unique_ptr<Connection> connection = connect_(target);
        store::LayoutStore& layouts = connection->Layouts();
        const Supervisor::Stopper stopper(work, [&layouts](Supervisor::How how) {
            layouts.CancelCall(how == Supervisor::How::Raise ? store::LayoutStore::Cancel::Raise
                                                             : store::LayoutStore::Cancel::Abort);
        });
        Runner::Connecting connecting(runner);
        connection->Connect();
        connecting.done();
        if (const std::optional<qsizetype> first = claim(index, connection->Identity()))
            return command_.Duplicate(target, targets_[*first]);
        return command_.Run(target, layouts, work);
    } catch (const std::exception& error) {
        return command_.Failed(target, work.failureText(QString::fromUtf8(error.what())),
                               work.stopToken());
    }
}

Runner::Verdict Rollout::workOn(qsizetype index, Supervisor::Work& work, Runner& runner) {
    Report& report = reports_[index].emplace(reportOn(index, work, runner));
    report.database = targets_[index].database;
    return VerdictOn(report);
}

void Rollout::tell(const Report& report) {
    reporter_->Database(report);
    tally_.Add(report);
    command_.Observe(report);
}

// Stopped early by a signal, interrupted; by the canaries or the failure limit, failed.
int Rollout::exitCode(const Runner::End& end) const {
    if (!end.halt)
        return command_.ExitCode(tally_);
    if (end.halt->reason == Runner::Halt::Reason::Signal)
        return Interrupted;
    return std::max(command_.ExitCode(tally_), 1);
}

// The command concludes before its exit code is known: diff's programs run there.
RunSummary Rollout::summaryOf(const Runner::End& end) const {
    RunSummary summary{.command = command_.definition().name,
                       .databases = static_cast<int>(end.started) - tally_.duplicates(),
                       .tally = tally_,
                       .notStarted = DatabasesOf(targets_.mid(end.started)),
                       .interrupted = end.halt && end.halt->reason == Runner::Halt::Reason::Signal};
    command_.Conclude(summary);
    summary.exitCode = exitCode(end);
    return summary;
}

int Rollout::run() {
    const Pace& pace = command_.pace();
    Runner runner(targets_.size(), {.jobs = invocation_.jobs,
                                    .timeoutSeconds = invocation_.targetTimeout,
                                    .canary = pace.canary,
                                    .maxFailures = pace.maxFailures});
    // Interrupted, what is written of the work left waits for nothing.
    std::stop_source interrupted;
    interrupted.request_stop();
    const Runner::End end = runner.Run(
        {.work = [this](qsizetype index, Supervisor::Work& work,
                        Runner& self) { return workOn(index, work, self); },
         // Told, a report is let go: memory holds only those still awaited.
         .deliver =
             [this](qsizetype index) { tell(*std::exchange(reports_[index], std::nullopt)); },
         .left =
             [&](qsizetype index, int signal) {
                 Report report = command_.Failed(targets_[index], InterruptedText(signal),
                                                 interrupted.get_token());
                 report.database = targets_[index].database;
                 tell(report);
             }});
    const RunSummary summary = summaryOf(end);
    reporter_->Summary(summary);
    if (end.halt)
        SayHalted(HaltText(*end.halt, pace), summary.notStarted);
    runner.LeaveIfConnecting(Interrupted);
    return summary.exitCode;
}

} // namespace

int Run(const Invocation& invocation, Command& command, const Connector& connect) {
    return Rollout(invocation, command, connect).run();
}

} // namespace cli
