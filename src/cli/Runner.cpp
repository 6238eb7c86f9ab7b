#include "Runner.h"

#include <algorithm>
#include <unistd.h>

namespace cli {
namespace {

// How often the run loop looks at the signals while it waits for items to end.
constexpr std::chrono::milliseconds Tick(100);
// How long a connect may go on after a signal before the interrupted run leaves it.
constexpr std::chrono::seconds LeaveAfter = AbortAfter + std::chrono::seconds(1);

} // namespace

Runner::Runner(qsizetype items, const Options& options)
    : items_(items), options_(options), done_(static_cast<size_t>(items)),
      supervisor_(options.timeoutSeconds) {}

Runner::Connecting::Connecting(Runner& runner) : runner_(runner) {
    const std::lock_guard lock(runner_.mutex_);
    ++runner_.connecting_;
}

Runner::Connecting::~Connecting() {
    const std::lock_guard lock(runner_.mutex_);
    if (!done_)
        --runner_.connecting_;
}

void Runner::Connecting::done() {
    const std::lock_guard lock(runner_.mutex_);
    if (runner_.leaving_)
        throw std::runtime_error(
            InterruptedText(*runner_.supervisor_.interruption()).toStdString());
    --runner_.connecting_;
    done_ = true;
}

// A bad canary stops the others, not the rest of the canaries: what they come to tells more.
bool Runner::halted() const {
    return (canaryFailed_ && started_ >= options_.canary) ||
           (options_.maxFailures > 0 && failures_ >= options_.maxFailures) ||
           supervisor_.interruption();
}

// Past the canaries, only once they all ended.
bool Runner::mayStart() const {
    return started_ < options_.canary || canaryEnded_ == std::min(options_.canary, items_);
}

void Runner::ended(qsizetype item, Verdict verdict) {
    done_[static_cast<size_t>(item)] = true;
    --inFlight_;
    failures_ += verdict == Verdict::Failed ? 1 : 0;
    if (item < options_.canary) {
        ++canaryEnded_;
        canaryFailed_ = canaryFailed_ || verdict != Verdict::Good;
    }
    changed_.notify_all();
}

void Runner::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait_for(lock, Tick, [this] { return halted() || mayStart(); });
        if (started_ == items_ || halted())
            return;
        if (!mayStart())
            continue;
        const qsizetype item = started_++;
        ++inFlight_;
        lock.unlock();
        Verdict verdict;
        {
            Supervisor::Work work(supervisor_);
            verdict = hooks_->work(item, work, *this);
        }
        lock.lock();
        ended(item, verdict);
    }
}

void Runner::deliverReady(std::unique_lock<std::mutex>& lock) {
    while (delivered_ < started_ && done_[static_cast<size_t>(delivered_)]) {
        const qsizetype item = delivered_;
        lock.unlock();
        hooks_->deliver(item);
        lock.lock();
        ++delivered_;
    }
}

bool Runner::everyStartedDelivered() const {
    return delivered_ == started_ && inFlight_ == 0;
}

Runner::End Runner::Run(const Hooks& hooks) {
    hooks_ = &hooks;
    const qsizetype threads = std::min<qsizetype>(options_.jobs, items_);
    for (qsizetype i = 0; i < threads; ++i)
        workers_.emplace_back([this] { work(); });
    std::unique_lock lock(mutex_);
    std::optional<Clock::time_point> leaveAt;
    while (delivered_ < items_ && !(halted() && everyStartedDelivered())) {
        changed_.wait_for(lock, Tick);
        deliverReady(lock);
        const std::optional<int> signal = supervisor_.interruption();
        if (!signal)
            continue;
        if (!leaveAt)
            leaveAt = Clock::now() + LeaveAfter;
        // An abort ends the rest soon; work past it, such as a commit's check, is waited for.
        if (inFlight_ == 0 || (Clock::now() >= *leaveAt && inFlight_ == connecting_))
            return endInterrupted(*signal, lock);
    }
    if (const std::optional<int> signal = supervisor_.interruption())
        return endInterrupted(*signal, lock);
    if (started_ == items_)
        return {started_, std::nullopt};
    return {started_, Halt{canaryFailed_ ? Halt::Reason::Canary : Halt::Reason::Failures}};
}

Runner::End Runner::endInterrupted(int signal, std::unique_lock<std::mutex>& lock) {
    leaving_ = connecting_ > 0;
    for (; delivered_ < started_; ++delivered_) {
        const qsizetype item = delivered_;
        const bool done = done_[static_cast<size_t>(item)];
        lock.unlock();
        done ? hooks_->deliver(item) : hooks_->left(item, signal);
        lock.lock();
    }
    return {started_, Halt{Halt::Reason::Signal, signal}};
}

void Runner::LeaveIfConnecting(int exitCode) const {
    const std::lock_guard lock(mutex_);
    if (leaving_) {
        std::fflush(nullptr);
        ::_exit(exitCode);
    }
}

} // namespace cli
