// The supervisor's stops, in-process: what a cancel slow to return may hold up.

#include "cli/Supervisor.h"

#include <QString>
#include <atomic>
#include <future>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Cancel = cli::Supervisor::How;

// A cancel the server is slow to take holds up neither the other databases' work nor the run
// loop; once its stopper is gone, the abort that would have followed is never called.
TEST(SupervisorTest, AStopUnderWayHoldsUpNothingElse) {
    cli::Supervisor supervisor(1);
    cli::Supervisor::Work work(supervisor);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls = 0;
    {
        const cli::Supervisor::Stopper stopper(work, [&](Cancel how) {
            EXPECT_EQ(how, Cancel::Raise);
            if (calls++ == 0) {
                entered.set_value();
                released.wait();
            }
        });
        ASSERT_EQ(entered.get_future().wait_for(30s), std::future_status::ready)
            << "the deadline raised no cancel";
        std::future<std::optional<int>> others = std::async(std::launch::async, [&] {
            const cli::Supervisor::Work other(supervisor);
            return supervisor.interruption();
        });
        EXPECT_EQ(others.wait_for(30s), std::future_status::ready)
            << "the cancel under way holds the supervisor's lock";
        release.set_value();
        EXPECT_EQ(others.get(), std::nullopt);
        EXPECT_EQ(work.failureText("failed"), "timed out after 1 s");
    }
    std::this_thread::sleep_for(cli::AbortAfter + 500ms);
    EXPECT_EQ(calls, 1);
}

} // namespace
