#pragma once

#include "standalonesender.h"

#include "core/protocol.h"

#include <QIODevice>
#include <QStringList>

#include <chrono>

// Exit statuses of veltrin-send.
enum SendExitStatus : int {
    kEveryCopyConfirmed = 0,
    kSomeCopyNotConfirmed = 1, // given up, or not known when the wait ended
    kUsageOrStartError = 2,
};

// What only tests change: the standalone sender's retry interval and listening port.
struct SenderSeams
{
    std::chrono::milliseconds retryInterval = StandaloneSender::kRetryInterval;
    quint16 listenPort = kStationPort;
};

// The whole of veltrin-send: reads the command line (and standard input when -m is absent),
// sends through the station on this computer when one runs for this user, otherwise on its
// own, and writes one line per recipient to output as each outcome comes, problems to errors.
// Runs an event loop of its own; an application object must exist. Gives the exit status.
int RunSender(const QStringList &arguments,
              QIODevice &input,
              QIODevice &output,
              QIODevice &errors,
              const SenderSeams &seams = {});
