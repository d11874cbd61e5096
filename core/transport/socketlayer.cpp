#include "socketlayer.h"
#include "socketerrors.h"
#include "transporterror.h"

#include "platform/integertext.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

std::atomic<int> g_lastError{0};

int LastErrnoCode()
{
    const int code = WinsockCodeFromErrno(errno);
    g_lastError = code;
    return code;
}

template<typename Call>
auto RetryOnInterrupt(Call call)
{
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

sockaddr_in MakeAddress(const IPv4Address &address, quint16 port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    const quint32 hostOrder = (quint32(address[0]) << 24) | (quint32(address[1]) << 16)
                              | (quint32(address[2]) << 8) | quint32(address[3]);
    sa.sin_addr.s_addr = htonl(hostOrder);
    return sa;
}

// Every datagram's sender is written so before it is confirmed: without the allocations of a
// number-by-number text.
QByteArray DottedTextOf(const in_addr &address)
{
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &address, text, sizeof text) ? QByteArray(text) : QByteArray();
}

} // namespace

int SocketLayer::lastError()
{
    return g_lastError;
}

void SocketLayer::raiseSocketError(int code)
{
    g_lastError = code;
    throw SocketError(code);
}

std::optional<IPv4Address> SocketLayer::ParseIPv4Literal(QByteArrayView text)
{
    // Four parts cut at the first three dots; the fourth is everything after the third.
    IPv4Address address{};
    qsizetype start = 0;
    for (int part = 0; part < 4; ++part) {
        qsizetype end = text.size();
        if (part < 3) {
            const qsizetype dot = start <= text.size() ? text.indexOf('.', start) : -1;
            end = dot < 0 ? text.size() : dot;
        }
        const QByteArrayView piece
                = start <= text.size() ? text.sliced(start, end - start) : QByteArrayView();
        const std::optional<qint32> value
                = ParseIntegerText(piece, IntegerSyntax{.leadingBlanks = true, .bareX = true});
        if (!value || *value < 0 || *value > 255)
            return std::nullopt;
        address[part] = static_cast<quint8>(*value);
        start = end + 1;
    }
    return address;
}

bool SocketLayer::IsIPv4Literal(QByteArrayView text)
{
    return ParseIPv4Literal(text).has_value();
}

QByteArray SocketLayer::DottedText(const IPv4Address &address)
{
    in_addr bytes{};
    std::memcpy(&bytes.s_addr, address.data(), address.size()); // already in network order
    return DottedTextOf(bytes);
}

std::optional<IPv4Address> SocketLayer::LiteralAddress(QByteArrayView host)
{
    if (host.compare("LOCALHOST", Qt::CaseInsensitive) == 0)
        return IPv4Address{127, 0, 0, 1};
    return ParseIPv4Literal(host);
}

QByteArray SocketLayer::ResolvePeerAddress(const QByteArray &host)
{
    if (const std::optional<IPv4Address> literal = LiteralAddress(host))
        return DottedText(*literal);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *answer = nullptr;
    int result = 0;
    do {
        result = ::getaddrinfo(host.constData(), nullptr, &hints, &answer);
    } while (result == EAI_SYSTEM && errno == EINTR);
    if (result != 0)
        raiseSocketError(WinsockCodeFromResolver(result, errno));

    QByteArray dotted;
    for (const addrinfo *entry = answer; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            dotted = DottedTextOf(reinterpret_cast<const sockaddr_in *>(entry->ai_addr)->sin_addr);
            break;
        }
    }
    ::freeaddrinfo(answer);
    if (dotted.isEmpty())
        raiseSocketError(WinsockCode::HostNotFound);
    return dotted;
}

SocketHandle SocketLayer::openDatagramSocket()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LastErrnoCode();
        throw TransportError("Cannot allocate socket.");
    }
    return SocketHandle(fd);
}

void SocketLayer::bind(int socketFd, quint16 port)
{
    const sockaddr_in sa = MakeAddress({0, 0, 0, 0}, port);
    const int result = RetryOnInterrupt(
            [&] { return ::bind(socketFd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa); });
    if (result == 0)
        return;
    const int code = LastErrnoCode();
    if (code == WinsockCode::AddressInUse)
        throw TransportError("Could not bind socket. Address and port are already in use.");
    raiseSocketError(code);
}

void SocketLayer::localAddress(int socketFd, QByteArray &ip, quint16 &port)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(socketFd, reinterpret_cast<sockaddr *>(&sa), &length) != 0)
        raiseSocketError(LastErrnoCode());
    ip = DottedTextOf(sa.sin_addr);
    port = ntohs(sa.sin_port);
}

void SocketLayer::setBroadcast(int socketFd, bool enabled)
{
    const int value = enabled ? 1 : 0;
    if (::setsockopt(socketFd, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0)
        raiseSocketError(LastErrnoCode());
}

void SocketLayer::requestReceiveBuffer(int socketFd, int bytes)
{
    // Linux caps the size at net.core.rmem_max without complaint; a refusal leaves the
    // system's default, with which a burst loses more but nothing else changes.
    [[maybe_unused]] const int result
            = ::setsockopt(socketFd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

qsizetype
SocketLayer::sendTo(int socketFd, const IPv4Address &address, quint16 port, QByteArrayView data)
{
    const sockaddr_in sa = MakeAddress(address, port);
    const ssize_t sent = RetryOnInterrupt([&] {
        return ::sendto(socketFd,
                        data.data(),
                        static_cast<std::size_t>(data.size()),
                        MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&sa),
                        sizeof sa);
    });
    if (sent < 0)
        raiseSocketError(LastErrnoCode());
    return sent;
}

ReceivedDatagram SocketLayer::receiveFrom(int socketFd, int bufferSize)
{
    ReceivedDatagram datagram;
    datagram.data.resize(bufferSize);
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    // MSG_TRUNC makes Linux report a datagram's real length, so one that did not fit is lost
    // whole, as on the platform the peers run on, instead of being delivered cut.
    const ssize_t received = RetryOnInterrupt([&] {
        return ::recvfrom(socketFd,
                          datagram.data.data(),
                          static_cast<std::size_t>(bufferSize),
                          MSG_TRUNC | MSG_DONTWAIT,
                          reinterpret_cast<sockaddr *>(&sender),
                          &senderLength);
    });
    if (received < 0)
        raiseSocketError(LastErrnoCode());
    if (received > bufferSize)
        raiseSocketError(WinsockCode::MessageTooLong);
    datagram.data.resize(received);
    datagram.senderIP = DottedTextOf(sender.sin_addr);
    datagram.senderPort = ntohs(sender.sin_port);
    return datagram;
}
