#pragma once

#include "platform/Termination.h"

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

namespace cli {

// How long the server may take to answer a cancel before the connection is dropped.
constexpr std::chrono::seconds AbortAfter(3);

// "SIGTERM" for SIGTERM.
QString SignalName(int signal);
// "interrupted by SIGTERM": why the work on a database stopped.
QString InterruptedText(int signal);

// Stops the work on each database in flight when its deadline passes or a termination signal
// comes: first asks the server to fail the call in flight, then, when the work has not ended a
// few seconds later, drops the connection. From a thread of its own, which takes the termination
// signals that platform::HoldTerminationSignals holds. The stops are called outside its lock: a
// cancel is a call to the server, and one slow to answer must hold up no other database.
class Supervisor {
public:
    // How the work is stopped: first the call in flight is asked to fail, then the connection
    // is dropped.
    enum class How { Raise, Abort };
    using Stop = std::function<void(How how)>;
    using Clock = std::chrono::steady_clock;

private:
    // A stopper's stop, called without the supervisor's lock: the stopper's end waits for a call
    // in progress and keeps any later one from happening.
    class Callback {
    public:
        explicit Callback(Stop stop) : stop_(std::move(stop)) {}
        void operator()(How how);
        void end();

    private:
        std::mutex mutex_;
        Stop stop_; // empty once its stopper ended
    };
    struct Call {
        std::shared_ptr<Callback> callback;
        How how;
    };

public:
    explicit Supervisor(int timeoutSeconds); // 0: no deadline
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // The first termination signal taken, if one came: no database should start any more.
    std::optional<int> interruption() const;

    // The work on one database, its deadline counted from here; several may run at once.
    class Work {
    public:
        explicit Work(Supervisor& supervisor);
        ~Work();
        Work(const Work&) = delete;
        Work& operator=(const Work&) = delete;

        // Why the work was stopped ("timed out after 5 s"), else the failure's own text.
        QString failureText(const QString& text) const;
        // Requested as the work is told to stop: for the waits of its own, such as a lock's.
        std::stop_token stopToken() const { return stopped_.get_token(); }

    private:
        friend class Supervisor;
        // The stop due now, if one is.
        std::optional<Call> step(Clock::time_point now);
        std::optional<Call> latestStop(How how) const;

        Supervisor& supervisor_;
        const Clock::time_point started_ = Clock::now();
        std::vector<std::shared_ptr<Callback>> stops_; // the latest one made is used
        std::optional<QString> stopReason_;
        Clock::time_point raisedAt_;
        bool aborted_ = false;
        std::stop_source stopped_;
    };

    // How to stop the work in flight on the target while this lives.
    class Stopper {
    public:
        Stopper(Work& work, Stop stop);
        ~Stopper();
        Stopper(const Stopper&) = delete;
        Stopper& operator=(const Stopper&) = delete;

    private:
        Work& work_;
        const std::shared_ptr<Callback> callback_;
    };

private:
    void watch();
    std::vector<Call> step(int signal);

    const int timeoutSeconds_;
    mutable std::mutex mutex_;
    std::vector<Work*> work_;
    std::optional<int> signal_;
    bool quit_ = false;
    std::thread thread_; // last: starts once the rest is set
};

} // namespace cli
