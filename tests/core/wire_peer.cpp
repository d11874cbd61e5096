// A minimal station on the real transport and protocol, for the exchange test to run as the two
// ends of one message. What it saw goes to stdout, one line at a time, flushed at once so that
// the test can follow it; what went wrong goes to stderr.
//
//   wire_peer serve COUNT [TIMEOUT_S]
//       Listens on the station port, prints "ready", then for each message datagram prints
//       "message <key>|<ident>|<body> from <ip>" and confirms it to <ip>. Ends after COUNT.
//   wire_peer send HOST KEY IDENT BODY [TIMEOUT_S]
//       Listens on the station port for the confirmation, sends the message to HOST and sends
//       it again every second, printing "sent <n>" each time, until the confirmation of KEY
//       arrives: prints "confirmed <key> from <ip>".
//   wire_peer raw [HOST COUNT DATAGRAM]
//       An observer that shares no code with the station: a plain UDP socket bound to the
//       station port. Prints "ready", sends DATAGRAM (the whole datagram, as it is) COUNT times
//       to HOST when given, printing "sent <n>" each time, and prints every datagram that
//       arrives as "datagram <n> <ms> <text> from <ip>", <ms> being the CLOCK_MONOTONIC time in
//       milliseconds. At the end of its input it prints "total <n>", counting every datagram
//       that had arrived by then, and exits.
//
// Exit codes: 0 done, 1 timed out, 2 transport failure, 64 bad arguments. The fields are argv
// bytes, used unchanged, so a Windows-1250 body travels as it is.

#include "core/protocol.h"
#include "core/transport/transporterror.h"
#include "core/transport/udpclient.h"
#include "core/transport/udpserver.h"
#include "tools/udppeer.h"

#include <QCoreApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <optional>

namespace {

enum ExitCode { Done = 0, TimedOut = 1, TransportFailed = 2, BadArguments = 64 };

constexpr int kDefaultTimeoutSeconds = 10;
constexpr int kResendIntervalMs = 1000;

void Print(std::FILE *stream, const QByteArray &line)
{
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void PrintLine(const QByteArray &line)
{
    Print(stdout, line);
}

void PrintProblem(const QByteArray &line)
{
    Print(stderr, line);
}

QByteArray ProblemText(const std::exception &e)
{
    if (const auto *error = dynamic_cast<const Error *>(&e))
        return error->text();
    return e.what();
}

// Ends the event loop once; whatever happens after the first outcome does not change it.
class Outcome
{
public:
    explicit Outcome(QCoreApplication &app)
        : m_app(app)
    {}

    void finish(ExitCode code)
    {
        if (m_finished)
            return;
        m_finished = true;
        m_app.exit(code);
    }
    bool isFinished() const { return m_finished; }

private:
    QCoreApplication &m_app;
    bool m_finished = false;
};

bool ParsePositive(const QByteArray &text, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value > 0;
}

// The server is made listening before anything is sent, so that no answer can come too early.
bool Activate(UdpServer &server)
{
    server.setDefaultPort(kStationPort);
    try {
        server.setActive(true);
    } catch (const std::exception &e) {
        PrintProblem("cannot listen on port " + QByteArray::number(kStationPort) + ": "
                     + ProblemText(e));
        return false;
    }
    return true;
}

int Serve(QCoreApplication &app, int count, int timeoutSeconds)
{
    Outcome outcome(app);
    int received = 0;
    UdpServer server;
    const auto serve = [&](const QByteArray &data, const SocketBinding &binding) {
        if (outcome.isFinished())
            return;
        const QByteArray text = DatagramText(data);
        if (KindOfDatagram(text) != DatagramKind::Message) {
            PrintLine("ignored " + text + " from " + binding.RemoteIP);
            return;
        }
        const QByteArray key = ParseKey(text);
        PrintLine("message " + key + '|' + ParseIdent(text) + '|' + ParseBody(text) + " from "
                  + binding.RemoteIP);
        try {
            // The confirmation goes to the station port of the sender, not to the port the
            // message came from.
            UdpClient client;
            client.Send(binding.RemoteIP, kStationPort, BuildConfirmationDatagram(key));
        } catch (const std::exception &e) {
            PrintProblem("cannot confirm " + key + " to " + binding.RemoteIP + ": "
                         + ProblemText(e));
            outcome.finish(TransportFailed);
            return;
        }
        if (++received == count)
            outcome.finish(Done);
    };
    QObject::connect(&server, &UdpServer::udpRead, &server, serve);
    if (!Activate(server))
        return TransportFailed;

    QTimer::singleShot(timeoutSeconds * 1000, &app, [&] {
        PrintProblem("only " + QByteArray::number(received) + " of " + QByteArray::number(count)
                     + " messages arrived within " + QByteArray::number(timeoutSeconds) + " s");
        outcome.finish(TimedOut);
    });
    PrintLine("ready");
    return app.exec();
}

int Send(QCoreApplication &app,
         const QByteArray &host,
         const QByteArray &key,
         const QByteArray &ident,
         const QByteArray &body,
         int timeoutSeconds)
{
    Outcome outcome(app);
    UdpServer server;
    const auto confirmed = [&](const QByteArray &data, const SocketBinding &binding) {
        if (outcome.isFinished())
            return;
        const QByteArray text = DatagramText(data);
        if (KindOfDatagram(text) != DatagramKind::Confirmation || ParseKey(text) != key) {
            PrintLine("ignored " + text + " from " + binding.RemoteIP);
            return;
        }
        PrintLine("confirmed " + ParseKey(text) + " from " + binding.RemoteIP);
        outcome.finish(Done);
    };
    QObject::connect(&server, &UdpServer::udpRead, &server, confirmed);
    if (!Activate(server))
        return TransportFailed;

    const QByteArray datagram = BuildMessageDatagram(key, ident, body);
    int sent = 0;
    const auto sendOnce = [&] {
        if (outcome.isFinished())
            return;
        try {
            UdpClient client;
            client.Send(host, kStationPort, datagram);
        } catch (const std::exception &e) {
            PrintProblem("cannot send " + key + " to " + host + ": " + ProblemText(e));
            outcome.finish(TransportFailed);
            return;
        }
        PrintLine("sent " + QByteArray::number(++sent));
    };
    // Nothing tells the sender that a datagram was lost, so it keeps sending until confirmed.
    QTimer resend;
    resend.setInterval(kResendIntervalMs);
    QObject::connect(&resend, &QTimer::timeout, &app, sendOnce);
    QTimer::singleShot(timeoutSeconds * 1000, &app, [&] {
        PrintProblem("no confirmation of " + key + " from " + host + " within "
                     + QByteArray::number(timeoutSeconds) + " s");
        outcome.finish(TimedOut);
    });
    // The first send runs inside the event loop, so that a failure can end it.
    QTimer::singleShot(0, &app, sendOnce);
    resend.start();
    return app.exec();
}

QByteArray SystemProblem(const QByteArray &what)
{
    return what + ": " + std::strerror(errno);
}

qint64 MonotonicMilliseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Line breaks inside a datagram would split its output line.
QByteArray OneLine(QByteArray text)
{
    return text.replace('\r', "\\r").replace('\n', "\\n");
}

// Prints what has arrived, without waiting.
void PrintArrived(const UdpPeer &socket, int *received)
{
    while (const std::optional<UdpPeer::Datagram> datagram = socket.receive()) {
        PrintLine("datagram " + QByteArray::number(++*received) + ' '
                  + QByteArray::number(MonotonicMilliseconds()) + ' ' + OneLine(datagram->data)
                  + " from " + datagram->senderIP);
    }
}

int Raw(const QByteArray &host, int count, const QByteArray &datagram)
{
    const UdpPeer socket("0.0.0.0", kStationPort);
    if (socket.fd() < 0) {
        PrintProblem(SystemProblem("cannot open a socket"));
        return TransportFailed;
    }
    if (!socket.bound()) {
        PrintProblem(SystemProblem("cannot bind port " + QByteArray::number(kStationPort)));
        return TransportFailed;
    }
    PrintLine("ready");

    in_addr checked{};
    if (count > 0 && ::inet_pton(AF_INET, host.constData(), &checked) != 1) {
        PrintProblem("not a dotted address: " + host);
        return BadArguments;
    }
    for (int sent = 1; sent <= count; ++sent) {
        if (!socket.sendTo(host.constData(), kStationPort, datagram)) {
            PrintProblem(SystemProblem("cannot send to " + host));
            return TransportFailed;
        }
        PrintLine("sent " + QByteArray::number(sent));
    }

    int received = 0;
    for (;;) {
        pollfd fds[2] = {{socket.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            PrintProblem(SystemProblem("cannot wait"));
            return TransportFailed;
        }
        if (fds[0].revents & POLLIN)
            PrintArrived(socket, &received);
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char ignored[256];
            const ssize_t n = ::read(STDIN_FILENO, ignored, sizeof ignored);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // Whatever arrived before the end of the input counts, even if unread so far.
                PrintArrived(socket, &received);
                PrintLine("total " + QByteArray::number(received));
                return Done;
            }
        }
    }
}

int Usage()
{
    PrintProblem("usage: wire_peer serve COUNT [TIMEOUT_S]\n"
                 "       wire_peer send HOST KEY IDENT BODY [TIMEOUT_S]\n"
                 "       wire_peer raw [HOST COUNT DATAGRAM]");
    return BadArguments;
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt may rearrange argv; the fields are taken as bytes before it sees them.
    QByteArrayList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QByteArray(argv[i]);
    QCoreApplication app(argc, argv);

    int timeoutSeconds = kDefaultTimeoutSeconds;
    const QByteArray mode = arguments.value(0);
    if (mode == "serve" && (arguments.size() == 2 || arguments.size() == 3)) {
        int count = 0;
        if (!ParsePositive(arguments.at(1), &count)
            || (arguments.size() == 3 && !ParsePositive(arguments.at(2), &timeoutSeconds))) {
            return Usage();
        }
        return Serve(app, count, timeoutSeconds);
    }
    if (mode == "send" && (arguments.size() == 5 || arguments.size() == 6)) {
        if (arguments.size() == 6 && !ParsePositive(arguments.at(5), &timeoutSeconds))
            return Usage();
        return Send(app,
                    arguments.at(1),
                    arguments.at(2),
                    arguments.at(3),
                    arguments.at(4),
                    timeoutSeconds);
    }
    if (mode == "raw" && (arguments.size() == 1 || arguments.size() == 4)) {
        if (arguments.size() == 1)
            return Raw({}, 0, {});
        int count = 0;
        if (!ParsePositive(arguments.at(2), &count))
            return Usage();
        return Raw(arguments.at(1), count, arguments.at(3));
    }
    return Usage();
}
