#include "Rollout.h"

#include "Command.h"
#include "Output.h"
#include "Supervisor.h"
#include "datamodule/Data.h"
#include "platform/ConnectionTarget.h"

#include <algorithm>
#include <condition_variable>
#include <unistd.h>

namespace cli {
namespace {

// How often the run loop looks at the signals while it waits for reports.
constexpr std::chrono::milliseconds Tick(100);
// How long work that an abort has not ended may go on before the interrupted run leaves it.
constexpr std::chrono::seconds LeaveAfter = AbortAfter + std::chrono::seconds(1);

// The client library cannot cancel a connect, and dropping its socket would take the socket of
// whichever thread's connection it is: with several at once none can tell its own apart by time.
// So a connect ends by its own timeout, which the deadline bounds.
int ConnectTimeout(const Invocation& invocation) {
    const int deadlineBound = invocation.targetTimeout + static_cast<int>(AbortAfter.count());
    return invocation.targetTimeout > 0 ? std::min(invocation.connectTimeout, deadlineBound)
                                        : invocation.connectTimeout;
}

// The data module on one database, its report list open.
void Open(TDM& dm, const QString& target, const Invocation& invocation) {
    dm.UseTarget(target);
    dm.UseLogin(invocation.login.user, invocation.login.password);
    dm.UseConnectTimeout(ConnectTimeout(invocation));
    dm.OpenReportList();
}

void SayInterrupted(int signal, qsizetype notStarted) {
    Print(stderr, QStringLiteral("korvex-reports: %1; %2 database(s) not started")
                      .arg(InterruptedText(signal))
                      .arg(notStarted));
}

// The targets, handed to a few worker threads in order, and their reports until printed.
class Rollout {
public:
    Rollout(const Invocation& invocation, Command& command)
        : invocation_(invocation), command_(command),
          targets_(invocation.targets.isEmpty() ? QStringList{platform::DefaultConnectionTarget()}
                                                : invocation.targets),
          reports_(targets_.size()), supervisor_(invocation.targetTimeout) {}

    int run();

private:
    void work();
    Report workOn(const QString& target);
    // Prints the reports that are in, in order, up to the first one still awaited.
    void printReady(std::unique_lock<std::mutex>& lock);
    void print(const Report& report);
    bool allStartedPrinted() const { return printed_ == started_; }
    // After a termination signal: what is still in flight is told as interrupted.
    int endInterrupted(int signal, std::unique_lock<std::mutex>& lock);

    const Invocation& invocation_;
    Command& command_;
    const QStringList targets_;

    std::mutex mutex_;
    std::condition_variable changed_;
    qsizetype started_ = 0;
    qsizetype printed_ = 0;
    int working_ = 0; // worker threads not yet done
    std::vector<std::optional<Report>> reports_;

    int failed_ = 0; // the run loop's own
    Supervisor supervisor_;
    std::vector<std::jthread> workers_; // last: they use the rest
};

Report Rollout::workOn(const QString& target) {
    Supervisor::Target work(supervisor_);
    try {
        TDM dm;
        const Supervisor::Stopper stopper(
            work, [&dm](db::Database::Cancel how) { dm.IBD.CancelOperation(how); });
        Open(dm, target, invocation_);
        return command_.Run(target, dm, work);
    } catch (const std::exception& error) {
        return command_.Failed(target, work.failureText(QString::fromUtf8(error.what())));
    }
}

void Rollout::work() {
    std::unique_lock lock(mutex_);
    while (started_ < targets_.size() && !supervisor_.interruption()) {
        const qsizetype index = started_++;
        lock.unlock();
        Report report = workOn(targets_[index]);
        lock.lock();
        reports_[index] = std::move(report);
        changed_.notify_all();
    }
    --working_;
    changed_.notify_all();
}

void Rollout::print(const Report& report) {
    for (const Report::Line& line : report.lines)
        Print(line.stream, line.text);
    failed_ += report.failed ? 1 : 0;
    command_.Tally(report);
}

void Rollout::printReady(std::unique_lock<std::mutex>& lock) {
    while (printed_ < started_ && reports_[printed_]) {
        const Report report = *std::exchange(reports_[printed_], std::nullopt);
        lock.unlock();
        print(report);
        lock.lock();
        ++printed_;
    }
}

int Rollout::run() {
    const qsizetype threads = std::min<qsizetype>(invocation_.jobs, targets_.size());
    working_ = static_cast<int>(threads);
    for (qsizetype i = 0; i < threads; ++i)
        workers_.emplace_back([this] { work(); });
    std::unique_lock lock(mutex_);
    std::optional<Supervisor::Clock::time_point> leaveAt;
    while (printed_ < targets_.size()) {
        changed_.wait_for(lock, Tick);
        printReady(lock);
        const std::optional<int> signal = supervisor_.interruption();
        if (!signal)
            continue;
        if (!leaveAt)
            leaveAt = Supervisor::Clock::now() + LeaveAfter;
        if ((working_ == 0 && allStartedPrinted()) || Supervisor::Clock::now() >= *leaveAt)
            return endInterrupted(*signal, lock);
    }
    if (const std::optional<int> signal = supervisor_.interruption())
        return endInterrupted(*signal, lock);
    lock.unlock();
    command_.Finish(static_cast<int>(printed_), failed_);
    return command_.ExitCode(failed_);
}

int Rollout::endInterrupted(int signal, std::unique_lock<std::mutex>& lock) {
    const qsizetype started = started_;
    for (; printed_ < started; ++printed_) {
        const std::optional<Report> report = std::exchange(reports_[printed_], std::nullopt);
        print(report ? *report : command_.Failed(targets_[printed_], InterruptedText(signal)));
    }
    const bool left = working_ > 0;
    lock.unlock();
    command_.Finish(static_cast<int>(started), failed_);
    SayInterrupted(signal, targets_.size() - started);
    // A thread still in the client library, stuck in a connect, would race the library's and
    // the program's shutdown: end without them. Everything printed is flushed already, and the
    // server drops a connection that was never made.
    if (left) {
        std::fflush(nullptr);
        ::_exit(Interrupted);
    }
    return Interrupted;
}

} // namespace

int Run(const Invocation& invocation, Command& command) {
    return Rollout(invocation, command).run();
}

} // namespace cli
