// The runner in-process, on work of its own: the order things are handed over in, and what the
// canaries and the failure limit leave unstarted.

#include "cli/Runner.h"

#include <QRandomGenerator>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <numeric>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Verdict = cli::Runner::Verdict;
using Reason = cli::Runner::Halt::Reason;

// Items worked on for a random while each, their verdicts given, what happened recorded.
class Recorded {
public:
    explicit Recorded(std::vector<Verdict> verdicts) : verdicts_(std::move(verdicts)) {}

    cli::Runner::End Run(const cli::Runner::Options& options) {
        cli::Runner runner(static_cast<qsizetype>(verdicts_.size()), options);
        results_.assign(verdicts_.size(), -1);
        return runner.Run({.work =
                               [this](qsizetype item, cli::Supervisor::Work&, cli::Runner&) {
                                   started(item);
                                   std::this_thread::sleep_for(std::chrono::milliseconds(
                                       QRandomGenerator::global()->bounded(15)));
                                   results_[static_cast<size_t>(item)] = static_cast<int>(item);
                                   --inFlight_;
                                   return verdicts_[static_cast<size_t>(item)];
                               },
                           .deliver =
                               [this](qsizetype item) {
                                   // The result the worker kept is there to be read.
                                   EXPECT_EQ(results_[static_cast<size_t>(item)], item);
                                   delivered_.push_back(item);
                               },
                           .left =
                               [](qsizetype, int) {
                                   ADD_FAILURE() << "no signal was sent";
                               }});
    }

    std::vector<qsizetype> delivered_;
    std::vector<qsizetype> started_;
    int mostAtOnce_ = 0;

private:
    void started(qsizetype item) {
        const std::lock_guard lock(mutex_);
        started_.push_back(item);
        mostAtOnce_ = std::max(mostAtOnce_, ++inFlight_);
    }

    const std::vector<Verdict> verdicts_;
    std::vector<int> results_;
    std::mutex mutex_;
    std::atomic<int> inFlight_ = 0;
};

std::vector<qsizetype> Upto(qsizetype count) {
    std::vector<qsizetype> items(static_cast<size_t>(count));
    std::iota(items.begin(), items.end(), 0);
    return items;
}

TEST(RunnerTest, HandsEveryItemOverInTheListsOrderWithAtMostTheJobsAtOnce) {
    Recorded run(std::vector<Verdict>(60, Verdict::Good));
    const cli::Runner::End end = run.Run({.jobs = 6});
    EXPECT_EQ(end.started, 60);
    EXPECT_FALSE(end.halt);
    EXPECT_EQ(run.delivered_, Upto(60));
    EXPECT_LE(run.mostAtOnce_, 6);
    EXPECT_GT(run.mostAtOnce_, 1);
}

// The canaries run among themselves; nothing else starts before all of them ended, nor after one
// of them did not end well.
TEST(RunnerTest, NothingStartsPastTheCanariesUntilTheyEndedAndNothingAfterABadOne) {
    std::vector<Verdict> verdicts(20, Verdict::Good);
    Recorded good(verdicts);
    EXPECT_FALSE(good.Run({.jobs = 4, .canary = 3}).halt);
    const auto firstOther = std::ranges::find_if(good.started_, [](qsizetype i) { return i >= 3; });
    EXPECT_EQ(std::distance(good.started_.begin(), firstOther), 3);
    EXPECT_EQ(good.delivered_, Upto(20));

    for (const Verdict bad : {Verdict::Failed, Verdict::Doubtful}) {
        verdicts[1] = bad;
        Recorded failing(verdicts);
        const cli::Runner::End end = failing.Run({.jobs = 4, .canary = 3});
        EXPECT_EQ(end.started, 3);
        ASSERT_TRUE(end.halt);
        EXPECT_EQ(end.halt->reason, Reason::Canary);
        EXPECT_EQ(failing.delivered_, Upto(3));
    }
}

// Once the limit is reached no item starts; those in flight then still end and are handed over.
TEST(RunnerTest, NoItemStartsOnceTheFailureLimitIsReached) {
    std::vector<Verdict> verdicts(30, Verdict::Good);
    for (const size_t i : {2u, 5u, 6u, 9u, 12u})
        verdicts[i] = Verdict::Failed;
    Recorded one(verdicts);
    cli::Runner::End end = one.Run({.jobs = 1, .maxFailures = 3});
    EXPECT_EQ(end.started, 7);
    ASSERT_TRUE(end.halt);
    EXPECT_EQ(end.halt->reason, Reason::Failures);
    EXPECT_EQ(one.delivered_, Upto(7));

    Recorded several(verdicts);
    end = several.Run({.jobs = 4, .maxFailures = 3});
    EXPECT_GE(end.started, 7);
    EXPECT_LT(end.started, 30);
    EXPECT_EQ(several.delivered_, Upto(end.started));

    Recorded unlimited(verdicts);
    EXPECT_FALSE(unlimited.Run({.jobs = 4}).halt);
}

} // namespace
