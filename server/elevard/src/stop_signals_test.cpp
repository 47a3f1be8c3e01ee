#include "stop_signals.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

namespace {

// Both signals become bytes on the pipe instead of ending the process, even when whoever
// started it left them blocked; once the instance is gone they have their default action again.
TEST(StopSignalsTest, TurnsBothSignalsIntoBytesWhileInstalled) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    {
        StopSignals signals;
        ASSERT_TRUE(signals.install());
        // raise() runs the handler in this thread before it returns.
        for (int signal : {SIGTERM, SIGINT, SIGTERM}) {
            ASSERT_EQ(raise(signal), 0);
        }
        EXPECT_EQ(signals.take(), 3);
        EXPECT_EQ(signals.take(), 0);
    }
    for (int signal : {SIGTERM, SIGINT}) {
        struct sigaction action {};
        ASSERT_EQ(sigaction(signal, nullptr, &action), 0);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << signal;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace
