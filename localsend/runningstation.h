#pragma once

#include <QString>

// How long a second start waits for the running station to answer before it starts on its own.
inline constexpr int kShowWindowTimeoutMs = 3000;

// Asks the station of this same user that answers on path (LocalSendSocketPath() in the
// station) to bring its window to the front. True once it said it did; false when nobody
// answers there, someone else does, or the answer does not come in time. Runs the event loop
// while it waits.
bool AskRunningStationToShow(const QString &path, int timeoutMs = kShowWindowTimeoutMs);
