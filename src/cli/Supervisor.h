#pragma once

#include "db/Database.h"
#include "platform/Termination.h"

#include <QString>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace cli {

// "SIGTERM" for SIGTERM.
QString SignalName(int signal);

// Stops the work on one database when its deadline passes or a termination signal comes: first
// asks the server to fail the call in flight, then, when the work has not ended a few seconds
// later, drops the connection and shuts the sockets opened since the work began. From a thread of
// its own, which takes the termination signals that platform::HoldTerminationSignals holds.
class Supervisor {
public:
    using Stop = std::function<void(db::Database::Cancel how)>;

    explicit Supervisor(int timeoutSeconds); // 0: no deadline
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // The first termination signal taken, if one came: no database should start any more.
    std::optional<int> interruption() const;

    // The work on one database, its deadline counted from here.
    class Target {
    public:
        explicit Target(Supervisor& supervisor);
        ~Target();
        Target(const Target&) = delete;
        Target& operator=(const Target&) = delete;

    private:
        Supervisor& supervisor_;
    };

    // How to stop the work in flight while this lives; the latest one made is used.
    class Stopper {
    public:
        Stopper(Supervisor& supervisor, Stop stop);
        ~Stopper();
        Stopper(const Stopper&) = delete;
        Stopper& operator=(const Stopper&) = delete;

    private:
        Supervisor& supervisor_;
        Stop stop_;
    };

    // Why the current target's work was stopped ("timed out after 5 s"), else the failure's own
    // text.
    QString failureText(const QString& text) const;

private:
    using Clock = std::chrono::steady_clock;

    void watch();
    void step(int signal);
    void stop(db::Database::Cancel how);

    const int timeoutSeconds_;
    mutable std::mutex mutex_;
    std::vector<const Stop*> stops_;
    std::optional<int> signal_;
    bool inTarget_ = false;
    Clock::time_point started_;
    std::optional<platform::LaterSockets> sockets_; // the target's connection
    std::optional<QString> stopReason_;
    Clock::time_point raisedAt_;
    bool aborted_ = false;
    bool quit_ = false;
    std::thread thread_; // last: starts once the rest is set
};

} // namespace cli
