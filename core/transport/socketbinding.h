#pragma once

#include "platform/sockethandle.h"

#include <QByteArray>

// One datagram socket of a server or client, with the address it is bound to and the sender of
// the last datagram read on it.
struct SocketBinding
{
    SocketHandle handle;
    QByteArray IP;       // local address as bound; 0.0.0.0 is every local address
    quint16 Port = 0;    // local port, read back from the socket after binding
    QByteArray RemoteIP; // dotted IPv4 address of the last sender
    quint16 RemotePort = 0;

    bool handleAllocated() const { return handle.isValid(); }
};
