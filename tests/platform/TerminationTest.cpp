#include "platform/Termination.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <csignal>
#include <gtest/gtest.h>

namespace {

void (*CurrentHandler(int signal))(int) {
    struct sigaction action = {};
    sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

} // namespace

// Each signal arrives as one call on the event loop, never inside the handler; afterwards the
// default dispositions are back.
TEST(TerminationRequestsTest, SignalsBecomeCallsOnTheEventLoop) {
    int calls = 0;
    {
        const platform::TerminationRequests requests([&] { ++calls; });
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
            const int before = calls;
            ASSERT_EQ(std::raise(signal), 0);
            EXPECT_EQ(calls, before) << "called from the signal handler";
            QDeadlineTimer deadline(5000);
            while (calls == before && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            EXPECT_EQ(calls, before + 1) << "signal " << signal;
        }
    }
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        EXPECT_EQ(CurrentHandler(signal), SIG_DFL);
}
