#pragma once

#include "platform/error.h"

// A failure of the transport, carrying the text the core shows.
class TransportError : public Error
{
public:
    using Error::Error;
};

// A failed socket call: "Socket Error # <code>\r\n<text of the code>", with the code in the
// Windows Sockets numbering that the peers' messages use.
class SocketError : public TransportError
{
public:
    explicit SocketError(int code);

    int code() const { return m_code; }

private:
    int m_code;
};
