#pragma once

#include "Supervisor.h"

#include <QtGlobal>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace cli {

// Works through a list of items a few at once, each under the supervisor's deadline, and hands
// each one's end over on the calling thread in the list's order, as soon as the earlier ones' are
// out. Knows nothing of what the work is: the hooks do it and keep its results.
class Runner {
public:
    struct Options {
        int jobs = 4;
        int timeoutSeconds = 0; // 0: no deadline
        // The first items, worked on before any other starts; the rest start only when each of
        // them ended well.
        qsizetype canary = 0;
        // No item starts once this many ended badly; 0: no limit.
        int maxFailures = 0;
    };

    // How an item's work ended, as far as the decision to start others goes.
    enum class Verdict { Good, Failed, Doubtful };

    // Why items were left unstarted.
    struct Halt {
        enum class Reason { Signal, Canary, Failures } reason;
        int signal = 0; // of Reason::Signal
    };
    struct End {
        qsizetype started;
        std::optional<Halt> halt;
    };

    class Connecting;

    struct Hooks {
        // On a worker thread: the item's work, its results kept by the hook, a connect in it
        // marked by a Connecting of the runner's. Must not throw.
        std::function<Verdict(qsizetype item, Supervisor::Work& work, Runner& runner)> work;
        // On the calling thread, in order, once the item's work ended.
        std::function<void(qsizetype item)> deliver;
        // On the calling thread, in order, for an item whose work the interrupted run left.
        std::function<void(qsizetype item, int signal)> left;
    };

    Runner(qsizetype items, const Options& options);
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Returns once every item started was handed over.
    End Run(const Hooks& hooks);

    // After the interrupted run's last words: a thread still in a connect would race the process's
    // shutdown, so the process ends at once without it, with this exit status.
    void LeaveIfConnecting(int exitCode) const;

private:
    using Clock = std::chrono::steady_clock;

    void work();
    bool mayStart() const;
    bool halted() const;
    void ended(qsizetype item, Verdict verdict);
    void deliverReady(std::unique_lock<std::mutex>& lock);
    End endInterrupted(int signal, std::unique_lock<std::mutex>& lock);
    bool everyStartedDelivered() const;

    const qsizetype items_;
    const Options options_;
    const Hooks* hooks_ = nullptr;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    qsizetype started_ = 0;
    qsizetype delivered_ = 0;
    std::vector<bool> done_;
    int inFlight_ = 0;     // items started and not yet ended
    int connecting_ = 0;   // of these, the ones in their connect
    bool leaving_ = false; // the run ends without the connects in flight
    int failures_ = 0;
    qsizetype canaryEnded_ = 0;
    bool canaryFailed_ = false;
    Supervisor supervisor_;
    std::vector<std::jthread> workers_; // last: they use the rest
};

// A connect in flight, which the client library cannot cancel. One that the interrupted run has
// left, and told as interrupted, must not go on to change the database: deciding to leave and
// ending a connect take the same lock.
class Runner::Connecting {
public:
    explicit Connecting(Runner& runner);
    ~Connecting();
    Connecting(const Connecting&) = delete;
    Connecting& operator=(const Connecting&) = delete;

    // The connect ended. Throws when the run has left it.
    void done();

private:
    Runner& runner_;
    bool done_ = false;
};

} // namespace cli
