#include "Supervisor.h"

#include <algorithm>
#include <cstring>

namespace cli {
namespace {

// How often deadlines are looked at, and how long the destructor may wait for the thread.
constexpr int TickMs = 100;

} // namespace

QString SignalName(int signal) {
    return QStringLiteral("SIG") + QString::fromLatin1(sigabbrev_np(signal));
}

QString InterruptedText(int signal) {
    return QStringLiteral("interrupted by %1").arg(SignalName(signal));
}

Supervisor::Supervisor(int timeoutSeconds)
    : timeoutSeconds_(timeoutSeconds), thread_([this] { watch(); }) {}

Supervisor::~Supervisor() {
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
    }
    thread_.join();
}

std::optional<int> Supervisor::interruption() const {
    const std::lock_guard lock(mutex_);
    return signal_;
}

void Supervisor::watch() {
    for (;;) {
        const int signal = platform::TakeTerminationSignal(TickMs);
        std::vector<Call> calls;
        {
            const std::lock_guard lock(mutex_);
            if (quit_)
                return;
            calls = step(signal);
        }
        for (const Call& call : calls)
            (*call.callback)(call.how);
    }
}

// Under the lock, so that no work goes away while it is looked at.
std::vector<Supervisor::Call> Supervisor::step(int signal) {
    if (signal != 0 && !signal_)
        signal_ = signal;
    const Clock::time_point now = Clock::now();
    std::vector<Call> calls;
    for (Work* work : work_)
        if (std::optional<Call> call = work->step(now))
            calls.push_back(std::move(*call));
    return calls;
}

void Supervisor::Callback::operator()(How how) {
    const std::lock_guard lock(mutex_);
    if (stop_)
        stop_(how);
}

void Supervisor::Callback::end() {
    const std::lock_guard lock(mutex_);
    stop_ = nullptr;
}

std::optional<Supervisor::Call> Supervisor::Work::step(Clock::time_point now) {
    if (aborted_)
        return std::nullopt;
    if (stopReason_) {
        if (now - raisedAt_ < AbortAfter)
            return std::nullopt;
        aborted_ = true;
        return latestStop(How::Abort);
    }
    const int timeout = supervisor_.timeoutSeconds_;
    if (supervisor_.signal_)
        stopReason_ = InterruptedText(*supervisor_.signal_);
    else if (timeout > 0 && now - started_ >= std::chrono::seconds(timeout))
        stopReason_ = QStringLiteral("timed out after %1 s").arg(timeout);
    if (!stopReason_)
        return std::nullopt;
    raisedAt_ = now;
    stopped_.request_stop();
    return latestStop(How::Raise);
}

std::optional<Supervisor::Call> Supervisor::Work::latestStop(How how) const {
    if (stops_.empty())
        return std::nullopt;
    return Call{stops_.back(), how};
}

Supervisor::Work::Work(Supervisor& supervisor) : supervisor_(supervisor) {
    const std::lock_guard lock(supervisor_.mutex_);
    supervisor_.work_.push_back(this);
}

Supervisor::Work::~Work() {
    const std::lock_guard lock(supervisor_.mutex_);
    std::erase(supervisor_.work_, this);
}

QString Supervisor::Work::failureText(const QString& text) const {
    const std::lock_guard lock(supervisor_.mutex_);
    return stopReason_.value_or(text);
}

Supervisor::Stopper::Stopper(Work& work, Stop stop)
    : work_(work), callback_(std::make_shared<Callback>(std::move(stop))) {
    const std::lock_guard lock(work_.supervisor_.mutex_);
    work_.stops_.push_back(callback_);
}

// Out of the list first, so that no further call is taken from it, then past the call under way.
Supervisor::Stopper::~Stopper() {
    {
        const std::lock_guard lock(work_.supervisor_.mutex_);
        work_.stops_.pop_back();
    }
    callback_->end();
}

} // namespace cli
