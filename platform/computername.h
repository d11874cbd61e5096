#pragma once

#include <QByteArray>

// The network name of this computer as the peers' keys carry it: the host name up to its first
// ".", at most the 63 bytes of a label. Empty when it cannot be read.
QByteArray ComputerNetworkName();

// The same rule applied to a given host name, for callers that already have one.
QByteArray ComputerNetworkNameFrom(const QByteArray &hostName);
