#include "Supervisor.h"

#include <cstring>

namespace cli {
namespace {

// How long the server may take to answer a cancel before the connection is dropped.
constexpr std::chrono::seconds AbortAfter(3);
// How often deadlines are looked at, and how long the destructor may wait for the thread.
constexpr int TickMs = 100;

} // namespace

QString SignalName(int signal) {
    return QStringLiteral("SIG") + QString::fromLatin1(sigabbrev_np(signal));
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

QString Supervisor::failureText(const QString& text) const {
    const std::lock_guard lock(mutex_);
    return stopReason_.value_or(text);
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

// Under the lock, so that no stopper goes away while it is used.
void Supervisor::step(int signal) {
    if (signal != 0 && !signal_)
        signal_ = signal;
    if (!inTarget_ || aborted_)
        return;
    const Clock::time_point now = Clock::now();
    if (stopReason_) {
        if (now - raisedAt_ >= AbortAfter) {
            aborted_ = true;
            stop(db::Database::Cancel::Abort);
            sockets_->shutDown();
        }
        return;
    }
    if (signal_)
        stopReason_ = QStringLiteral("interrupted by %1").arg(SignalName(*signal_));
    else if (timeoutSeconds_ > 0 && now - started_ >= std::chrono::seconds(timeoutSeconds_))
        stopReason_ = QStringLiteral("timed out after %1 s").arg(timeoutSeconds_);
    if (!stopReason_)
        return;
    raisedAt_ = now;
    stop(db::Database::Cancel::Raise);
}

void Supervisor::stop(db::Database::Cancel how) {
    if (!stops_.empty())
        (*stops_.back())(how);
}

Supervisor::Target::Target(Supervisor& supervisor) : supervisor_(supervisor) {
    const std::lock_guard lock(supervisor_.mutex_);
    supervisor_.inTarget_ = true;
    supervisor_.started_ = Clock::now();
    supervisor_.sockets_.emplace();
    supervisor_.stopReason_.reset();
    supervisor_.aborted_ = false;
}

Supervisor::Target::~Target() {
    const std::lock_guard lock(supervisor_.mutex_);
    supervisor_.inTarget_ = false;
}

Supervisor::Stopper::Stopper(Supervisor& supervisor, Stop stop)
    : supervisor_(supervisor), stop_(std::move(stop)) {
    const std::lock_guard lock(supervisor_.mutex_);
    supervisor_.stops_.push_back(&stop_);
}

Supervisor::Stopper::~Stopper() {
    const std::lock_guard lock(supervisor_.mutex_);
    supervisor_.stops_.pop_back();
}

} // namespace cli
