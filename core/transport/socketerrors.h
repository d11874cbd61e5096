#pragma once

#include <QByteArray>

// Socket error codes in the Windows Sockets numbering. Linux reports errno values and resolver
// codes; the station shows the numbers and texts its peers' users know.
namespace WinsockCode {
inline constexpr int AccessDenied = 10013;   // WSAEACCES
inline constexpr int MessageTooLong = 10040; // WSAEMSGSIZE
inline constexpr int AddressInUse = 10048;   // WSAEADDRINUSE
inline constexpr int HostNotFound = 11001;   // WSAHOST_NOT_FOUND
inline constexpr int TryAgain = 11002;       // WSATRY_AGAIN
inline constexpr int NoRecovery = 11003;     // WSANO_RECOVERY
inline constexpr int NoData = 11004;         // WSANO_DATA
} // namespace WinsockCode

// The code for an errno value; a value with no counterpart keeps its own number.
int WinsockCodeFromErrno(int errnoValue);

// The code for a getaddrinfo() result (errnoValue is consulted for EAI_SYSTEM).
int WinsockCodeFromResolver(int resolverCode, int errnoValue);

// The text of a code, empty for a code the table does not know.
QByteArray SocketErrorText(int code);

// "Socket Error # <code>\r\n<text>".
QByteArray SocketErrorMessage(int code);
