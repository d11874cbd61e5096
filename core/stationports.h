#pragma once

#include "protocol.h"

#include <optional>

// The ports of a station, chosen only by the code that builds it, never by the user's command
// line or environment. The desk's station listens on the port of its settings and sends to the
// protocol port; a test on loopback listens on any free port and sends to its partner's, so
// that it needs no network of its own and meets no other station.
struct StationPorts
{
    // Listened on instead of the settings' port when set; 0 takes any free one, which the
    // server's binding reads back.
    std::optional<quint16> listen;
    // Where messages and confirmations go.
    quint16 destination = kStationPort;
};
