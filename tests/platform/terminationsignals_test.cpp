// The signals that ask the program to end: each child of these tests is a program of its own,
// since a signal's default effect ends the whole process and the handlers are the process's.

#include "platform/terminationsignals.h"

#include "support/privatenetwork.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kAnnounceTimeoutMs = 5000;
// A child that neither ends nor dies by then is stuck; the alarm's own signal then says so.
constexpr unsigned kChildAlarmSeconds = 30;

// The exit codes of a child that is meant to die of its second signal, for what went wrong
// before it.
enum ChildFailure { NotAnnounced = 2, SurvivedTheSecondSignal = 3 };

// How the child ended, in words for a failure message.
std::string Describe(int status)
{
    if (WIFEXITED(status) && WEXITSTATUS(status) == NotAnnounced)
        return "requested() never came for the first signal";
    if (WIFEXITED(status) && WEXITSTATUS(status) == SurvivedTheSecondSignal)
        return "the child outlived the second signal";
    if (WIFEXITED(status))
        return "exited with " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "died of signal " + std::to_string(WTERMSIG(status));
    return "ended with status " + std::to_string(status);
}

// Runs, in a forked child with an application of its own, the first signal through to its
// announcement and then raises the second; the wait status of the child.
int StatusOfTwoSignals(int first, int second)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        ::alarm(kChildAlarmSeconds);
        int argc = 1;
        char name[] = "termination-child";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        TerminationSignals termination;
        bool announced = false;
        QObject::connect(&termination, &TerminationSignals::requested, [&] { announced = true; });
        ::raise(first);
        if (!QTest::qWaitFor([&] { return announced; }, kAnnounceTimeoutMs))
            ::_exit(NotAnnounced);
        // The program's end is still running; the second signal does not wait for it.
        ::raise(second);
        ::_exit(SurvivedTheSecondSignal);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child)
        return -1;
    return status;
}

// What a custom handler of the program's own has seen.
volatile sig_atomic_t g_customHandled = 0;

void CustomHandler(int signalNumber)
{
    g_customHandled = signalNumber;
}

using Handler = void (*)(int);

Handler CurrentHandler(int signalNumber)
{
    struct sigaction current = {};
    ::sigaction(signalNumber, nullptr, &current);
    return current.sa_handler;
}

} // namespace

TEST(TerminationSignals, EachSignalIsAnnouncedOnTheEventLoopAndRemembered)
{
    const PrivateNetworkResult result = RunInPreparedChild({}, [] {
        for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
            SCOPED_TRACE(signalNumber);
            // Each object in turn, as a program that ends its loop and starts another would.
            TerminationSignals termination;
            int announcements = 0;
            QObject::connect(
                    &termination, &TerminationSignals::requested, [&] { ++announcements; });
            EXPECT_FALSE(termination.wasRequested());

            ::raise(signalNumber);
            // Still alive: the handler took the signal, and said nothing from inside it.
            EXPECT_EQ(announcements, 0);
            EXPECT_FALSE(termination.wasRequested());
            ASSERT_TRUE(QTest::qWaitFor([&] { return announcements > 0; }, kAnnounceTimeoutMs))
                    << "requested() never came";
            EXPECT_EQ(announcements, 1);
            EXPECT_TRUE(termination.wasRequested());
        }
    });
    ASSERT_EQ(result.outcome, PrivateNetworkResult::Outcome::Passed) << result.message;
}

TEST(TerminationSignals, ASecondHangUpEndsTheProgramByItself)
{
    const int status = StatusOfTwoSignals(SIGHUP, SIGHUP);
    ASSERT_NE(status, -1) << "the child could not be run";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << Describe(status);
}

TEST(TerminationSignals, ATerminateAfterAHangUpEndsTheProgramByTheTerminate)
{
    const int status = StatusOfTwoSignals(SIGHUP, SIGTERM);
    ASSERT_NE(status, -1) << "the child could not be run";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << Describe(status);
}

TEST(TerminationSignals, TheEarlierHandlersAreBackOnceTheObjectIsGone)
{
    const PrivateNetworkResult result = RunInPreparedChild({}, [] {
        struct sigaction custom = {};
        custom.sa_handler = CustomHandler;
        sigemptyset(&custom.sa_mask);
        for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
            ASSERT_EQ(::sigaction(signalNumber, &custom, nullptr), 0);
        {
            TerminationSignals termination;
            for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
                EXPECT_NE(CurrentHandler(signalNumber), &CustomHandler) << signalNumber;
        }
        for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
            EXPECT_EQ(CurrentHandler(signalNumber), &CustomHandler) << signalNumber;
            g_customHandled = 0;
            ::raise(signalNumber);
            EXPECT_EQ(g_customHandled, signalNumber) << "the program's own handler did not run";
        }
    });
    ASSERT_EQ(result.outcome, PrivateNetworkResult::Outcome::Passed) << result.message;
}

TEST(TerminationSignals, ASecondObjectLeavesTheSignalsToTheFirst)
{
    const PrivateNetworkResult result = RunInPreparedChild({}, [] {
        TerminationSignals first;
        bool announced = false;
        QObject::connect(&first, &TerminationSignals::requested, [&] { announced = true; });
        const Handler handler = CurrentHandler(SIGHUP);
        {
            TerminationSignals second;
            EXPECT_EQ(CurrentHandler(SIGHUP), handler);
        }
        // The second one's end put nothing back over the first's handler.
        EXPECT_EQ(CurrentHandler(SIGHUP), handler);
        ::raise(SIGHUP);
        ASSERT_TRUE(QTest::qWaitFor([&] { return announced; }, kAnnounceTimeoutMs))
                << "the first object no longer hears the signal";
        EXPECT_TRUE(first.wasRequested());
    });
    ASSERT_EQ(result.outcome, PrivateNetworkResult::Outcome::Passed) << result.message;
}
