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

// A signal held since start-up, and then each signal, arrives as one call on the event loop, never
// inside the handler; afterwards the default dispositions are back.
TEST(TerminationRequestsTest, SignalsBecomeCallsOnTheEventLoop) {
    int calls = 0;
    {
        platform::HoldTerminationSignals();
        ASSERT_EQ(std::raise(SIGTERM), 0); // would end the test program if not held
        const platform::TerminationRequests requests([&] { ++calls; });
        QDeadlineTimer held(5000);
        while (calls == 0 && !held.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        ASSERT_EQ(calls, 1);
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
