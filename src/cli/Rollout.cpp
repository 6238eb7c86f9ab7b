#include "Rollout.h"

#include "Command.h"
#include "Json.h"
#include "Output.h"
#include "Supervisor.h"
#include "platform/ConnectionTarget.h"
#include "platform/Resources.h"
#include "streaming/StreamingStore.h"

#include <QJsonArray>
#include <algorithm>
#include <condition_variable>
#include <map>
#include <unistd.h>

namespace cli {
namespace {

// How often the run loop looks at the signals while it waits for reports.
constexpr std::chrono::milliseconds Tick(100);
// How long a connect may go on after a signal before the interrupted run leaves it.
constexpr std::chrono::seconds LeaveAfter = AbortAfter + std::chrono::seconds(1);

// The client library cannot cancel a connect, and shutting down the sockets opened since a
// database's work began would, with several at once, cut the other databases' connections too:
// nothing tells which thread a socket was opened for. So no socket is touched: a connect ends by
// its own timeout, bounded by the deadline (3 s past it, when an abort would have dropped it), and
// an interrupted run leaves a connect still waiting to the server (see endInterrupted).
int ConnectTimeout(const Invocation& invocation) {
    const int asked = invocation.login.connectTimeoutSeconds.value_or(0);
    const int deadlineBound = invocation.targetTimeout + static_cast<int>(AbortAfter.count());
    return invocation.targetTimeout > 0 ? std::min(asked, deadlineBound) : asked;
}

// The client library tells a connect it gave up on as one the server rejected. Its clock and
// this one may differ by a little.
void ConnectWithin(streaming::StreamingStore& layouts, int seconds) {
    constexpr std::chrono::milliseconds Leeway(250);
    const auto began = std::chrono::steady_clock::now();
    try {
        layouts.Connect();
    } catch (const std::exception&) {
        if (std::chrono::steady_clock::now() - began < std::chrono::seconds(seconds) - Leeway)
            throw;
        throw std::runtime_error(
            QStringLiteral("the server did not answer within %1 s").arg(seconds).toStdString());
    }
}

// The databases asked for, each login's unset parts the run's, then the design-time login's; the
// connect timeout and the compression are the run's alone.
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
        login.wireCompression = invocation.login.wireCompression;
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

void SayInterrupted(int signal, const QStringList& notStarted) {
    QString text = QStringLiteral("korvex-reports: %1; %2 database(s) not started")
                       .arg(InterruptedText(signal))
                       .arg(notStarted.size());
    if (!notStarted.isEmpty())
        text += QStringLiteral(": ") + notStarted.join(QStringLiteral(", "));
    Print(stderr, text);
}

// The targets, handed to a few worker threads in order, and their reports until printed.
class Rollout {
public:
    Rollout(const Invocation& invocation, Command& command)
        : invocation_(invocation), command_(command), targets_(TargetsOf(invocation, command)),
          namedBefore_(NamedBefore(targets_)), reports_(targets_.size()),
          supervisor_(invocation.targetTimeout) {}

    int run();

private:
    class Connecting;

    void work();
    Report workOn(qsizetype index);
    // The target that took the database first under its server's name, if another one did.
    std::optional<qsizetype> claim(qsizetype index, const QByteArray& identity);
    // Prints the reports that are in, in order, up to the first one still awaited.
    void printReady(std::unique_lock<std::mutex>& lock);
    void print(const Report& report);
    // After a termination signal, once no work is in flight but connects: those are told as
    // interrupted.
    int endInterrupted(int signal, std::unique_lock<std::mutex>& lock);
    // The summary of the databases started, for people or as JSON; returns the exit code.
    int finish(qsizetype started, std::optional<int> signal);

    const Invocation& invocation_;
    Command& command_;
    const QList<Target> targets_;
    const std::vector<std::optional<qsizetype>> namedBefore_;

    std::mutex mutex_;
    std::condition_variable changed_;
    qsizetype started_ = 0;
    qsizetype printed_ = 0;
    int inFlight_ = 0;     // databases started and not yet reported
    int connecting_ = 0;   // of these, the ones in their connect
    bool leaving_ = false; // the run ends without the connects in flight
    std::vector<std::optional<Report>> reports_;
    std::map<QByteArray, qsizetype> claimed_; // by the server's name of the database

    int failed_ = 0;     // the run loop's own
    int duplicates_ = 0; // so is this
    Supervisor supervisor_;
    std::vector<std::jthread> workers_; // last: they use the rest
};

// A connect in flight. One that the interrupted run has left, and told as interrupted, must not
// go on to change the database: deciding to leave and ending a connect take the same lock.
class Rollout::Connecting {
public:
    explicit Connecting(Rollout& rollout) : rollout_(rollout) {
        const std::lock_guard lock(rollout_.mutex_);
        ++rollout_.connecting_;
    }
    ~Connecting() {
        const std::lock_guard lock(rollout_.mutex_);
        if (!done_)
            --rollout_.connecting_;
    }
    Connecting(const Connecting&) = delete;
    Connecting& operator=(const Connecting&) = delete;

    // Throws when the run has left it.
    void done() {
        const std::lock_guard lock(rollout_.mutex_);
        if (rollout_.leaving_)
            throw std::runtime_error(
                InterruptedText(*rollout_.supervisor_.interruption()).toStdString());
        --rollout_.connecting_;
        done_ = true;
    }

private:
    Rollout& rollout_;
    bool done_ = false;
};

std::optional<qsizetype> Rollout::claim(qsizetype index, const QByteArray& identity) {
    if (identity.isEmpty())
        return std::nullopt;
    const std::lock_guard lock(mutex_);
    const auto [place, fresh] = claimed_.try_emplace(identity, index);
    return fresh ? std::nullopt : std::optional(place->second);
}

// A database named twice is worked on once: two transactions of one run on one row would wait
// for each other, and the second would find the first one's bytes.
Report Rollout::workOn(qsizetype index) {
    const Target& target = targets_[index];
    if (const std::optional<qsizetype> first = namedBefore_[index])
        return command_.Duplicate(target, targets_[*first]);
    Supervisor::Work work(supervisor_);
    try {
        streaming::StreamingStore layouts(target.database, target.login);
        const Supervisor::Stopper stopper(
            work, [&layouts](store::LayoutStore::Cancel how) { layouts.CancelCall(how); });
        Connecting connecting(*this);
        ConnectWithin(layouts, *target.login.connectTimeoutSeconds);
        connecting.done();
        if (const std::optional<qsizetype> first = claim(index, layouts.ServerIdentity()))
            return command_.Duplicate(target, targets_[*first]);
        return command_.Run(target, layouts, work);
    } catch (const std::exception& error) {
        return command_.Failed(target, work.failureText(QString::fromUtf8(error.what())),
                               work.stopToken());
    }
}

void Rollout::work() {
    std::unique_lock lock(mutex_);
    while (started_ < targets_.size() && !supervisor_.interruption()) {
        const qsizetype index = started_++;
        ++inFlight_;
        lock.unlock();
        Report report = workOn(index);
        lock.lock();
        reports_[index] = std::move(report);
        --inFlight_;
        changed_.notify_all();
    }
}

void Rollout::print(const Report& report) {
    for (const Report::Line& line : report.lines)
        if (!invocation_.json || line.stream == stderr)
            Print(line.stream, line.text);
    if (invocation_.json && report.json)
        PrintJson(*report.json);
    failed_ += report.failed ? 1 : 0;
    if (report.duplicate)
        ++duplicates_;
    else
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
        // An abort ends the rest soon; work past it, such as a commit's check, is waited for.
        if (inFlight_ == 0 || (Supervisor::Clock::now() >= *leaveAt && inFlight_ == connecting_))
            return endInterrupted(*signal, lock);
    }
    if (const std::optional<int> signal = supervisor_.interruption())
        return endInterrupted(*signal, lock);
    lock.unlock();
    return finish(printed_, std::nullopt);
}

int Rollout::finish(qsizetype started, std::optional<int> signal) {
    const QStringList notStarted = DatabasesOf(targets_.mid(started));
    const int databases = static_cast<int>(started) - duplicates_;
    // The summary may fail on its own: diff's programs run there.
    if (!invocation_.json)
        command_.Finish(databases, failed_);
    const int exitCode = signal ? Interrupted : command_.ExitCode(failed_);
    if (invocation_.json) {
        QJsonObject summary;
        Stamp::OfRun(invocation_, command_.definition().name).WriteTo(summary);
        summary.insert("event", "summary");
        summary.insert("databases", databases);
        summary.insert("duplicates", duplicates_);
        summary.insert("failed", failed_);
        command_.Count(summary);
        summary.insert("not_started", QJsonArray::fromStringList(notStarted));
        summary.insert("exit", exitCode);
        PrintJson(summary);
    }
    if (signal)
        SayInterrupted(*signal, notStarted);
    return exitCode;
}

int Rollout::endInterrupted(int signal, std::unique_lock<std::mutex>& lock) {
    leaving_ = connecting_ > 0;
    const qsizetype started = started_;
    // Interrupted, what is written of them waits for nothing.
    std::stop_source interrupted;
    interrupted.request_stop();
    for (; printed_ < started; ++printed_) {
        const std::optional<Report> report = std::exchange(reports_[printed_], std::nullopt);
        print(report ? *report
                     : command_.Failed(targets_[printed_], InterruptedText(signal),
                                       interrupted.get_token()));
    }
    lock.unlock();
    finish(started, signal);
    // A thread still in the client library's connect would race the library's and the program's
    // shutdown: end without them. Everything printed is flushed already, and the server drops a
    // connection that was never made.
    if (leaving_) {
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
