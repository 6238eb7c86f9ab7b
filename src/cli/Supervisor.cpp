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
        const std::lock_guard lock(mutex_);
        if (quit_)
            return;
        step(signal);
    }
}

// Under the lock, so that no work or stopper goes away while it is used.
void Supervisor::step(int signal) {
    if (signal != 0 && !signal_)
        signal_ = signal;
    const Clock::time_point now = Clock::now();
    for (Work* work : work_)
        work->step(now);
}

void Supervisor::Work::step(Clock::time_point now) {
    const auto stop = [this](store::LayoutStore::Cancel how) {
        if (!stops_.empty())
            (*stops_.back())(how);
    };
    if (aborted_)
        return;
    if (stopReason_) {
        if (now - raisedAt_ >= AbortAfter) {
            aborted_ = true;
            stop(store::LayoutStore::Cancel::Abort);
        }
        return;
    }
    const int timeout = supervisor_.timeoutSeconds_;
    if (supervisor_.signal_)
        stopReason_ = InterruptedText(*supervisor_.signal_);
    else if (timeout > 0 && now - started_ >= std::chrono::seconds(timeout))
        stopReason_ = QStringLiteral("timed out after %1 s").arg(timeout);
    if (!stopReason_)
        return;
    raisedAt_ = now;
    stopped_.request_stop();
    stop(store::LayoutStore::Cancel::Raise);
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

Supervisor::Stopper::Stopper(Work& work, Stop stop) : work_(work), stop_(std::move(stop)) {
    const std::lock_guard lock(work_.supervisor_.mutex_);
    work_.stops_.push_back(&stop_);
}

Supervisor::Stopper::~Stopper() {
    const std::lock_guard lock(work_.supervisor_.mutex_);
    work_.stops_.pop_back();
}

} // namespace cli
