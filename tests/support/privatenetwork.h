#pragma once

#include "tools/loopback.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <functional>
#include <memory>
#include <string>

// Runs body in a forked child inside a network namespace of its own (only "lo", brought up),
// with a QCoreApplication of its own, so that it may bind the station's fixed port without
// touching the machine's network. The child's assertion failures are printed as they happen;
// the result says how the child ended.
struct PrivateNetworkResult
{
    enum class Outcome { Passed, Failed, Skipped };
    Outcome outcome = Outcome::Failed;
    std::string message;
};

// Makes the child's application object; a QCoreApplication unless a test needs windows.
using ApplicationFactory = std::function<std::unique_ptr<QCoreApplication>(int &argc, char **argv)>;

PrivateNetworkResult RunInPrivateNetwork(const std::function<void()> &body,
                                         int timeoutSeconds = 120,
                                         const ApplicationFactory &makeApplication = {});

// Puts the calling (child) process in a network namespace of its own with "lo" up; the reason
// when it cannot, else an empty text. For a prepare that does more than this.
std::string EnterPrivateNetwork();

// The same for a child whose world prepare sets up first (namespaces, mounts, a user):
// prepare gives an empty text when it could, else the reason to skip.
PrivateNetworkResult RunInPreparedChild(const std::function<std::string()> &prepare,
                                        const std::function<void()> &body,
                                        int timeoutSeconds = 120,
                                        const ApplicationFactory &makeApplication = {});

// Use inside a TEST body: skips with the reason when no namespace can be made, fails when the
// child failed.
#define RUN_IN_PRIVATE_NETWORK(...)                                                                \
    do {                                                                                           \
        const PrivateNetworkResult result_ = RunInPrivateNetwork(__VA_ARGS__);                     \
        if (result_.outcome == PrivateNetworkResult::Outcome::Skipped)                             \
            GTEST_SKIP() << result_.message;                                                       \
        if (result_.outcome == PrivateNetworkResult::Outcome::Failed)                              \
            FAIL() << result_.message;                                                             \
    } while (false)

// Whether this process is a test child that has entered a network namespace other than the one
// the test program started in.
bool InPrivateNetwork();

// Runs body in this process, on the machine's own loopback, for the tests that need neither a
// second host nor the protocol port: the stations they make listen on a free port and send to
// the test's own partner (TestStationPorts). The application object is made by the first such
// test of the process, of the kind makeApplication makes, and kept for the rest; the working
// directory is put back afterwards.
void RunOnLoopback(const std::function<void()> &body,
                   const ApplicationFactory &makeApplication = {});

#define RUN_ON_LOOPBACK(...) RunOnLoopback(__VA_ARGS__)
