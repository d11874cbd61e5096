#pragma once

#include "support/privatenetwork.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <string>

// Runs body in a forked child with a QCoreApplication of its own, after prepare has set the
// child's world up; prepare gives an empty text when it could, else the reason to skip. The
// result says how the child ended, as RunInPrivateNetwork does.
PrivateNetworkResult RunInFaultChild(const std::function<std::string()> &prepare,
                                     const std::function<void()> &body,
                                     int timeoutSeconds = 120);

// Use inside a TEST body: skips with the reason when the child's world cannot be made, fails
// when the child failed.
#define RUN_IN_FAULT_CHILD(...)                                                                    \
    do {                                                                                           \
        const PrivateNetworkResult result_ = RunInFaultChild(__VA_ARGS__);                         \
        if (result_.outcome == PrivateNetworkResult::Outcome::Skipped)                             \
            GTEST_SKIP() << result_.message;                                                       \
        if (result_.outcome == PrivateNetworkResult::Outcome::Failed)                              \
            FAIL() << result_.message;                                                             \
    } while (false)

// A child of its own mount and network namespaces (only "lo", up): mounts made there vanish with
// it, and the station's fixed port is free.
std::string PreparePrivateMountsAndNetwork();

// A child inside the network namespace of that name (one of HostNamespaces' hosts).
std::function<std::string()> PrepareInsideNetworkNamespace(const QByteArray &namespaceName);

// Mounts a fresh tmpfs of the given size at directory (private mounts only); the reason when
// it cannot, empty on success.
std::string MountScratchFileSystem(const QString &directory, qint64 bytes);
// Makes the file system at directory read-only, even for root.
std::string RemountReadOnly(const QString &directory);
// Writes to a filler file in directory until the file system refuses more; the bytes written.
qint64 FillFileSystem(const QString &directory);
// Drops root for the rest of the process: user and group "nobody" (65534), no other groups.
std::string DropToNobody();
