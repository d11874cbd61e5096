#include "core/protocol.h"
#include "core/settings.h"
#include "core/transport/transporterror.h"
#include "core/transport/udpserver.h"
#include "platform/codepage.h"
#include "platform/computername.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

// Until the station's window exists, this start shows what the station already does: it reads
// its settings, takes its port and prints every datagram that arrives.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    const QByteArray computerName = ComputerNetworkName();
    LoadSettings(OpenSettingsFile(), computerName);

    UdpServer server;
    server.setDefaultPort(StationSettings.PORT);
    server.setOnUDPRead([&out](UdpServer &, const QByteArray &data, SocketBinding &binding) {
        const QByteArray text = DatagramText(data);
        const QString from = QString::fromLatin1(binding.RemoteIP);
        switch (KindOfDatagram(text)) {
        case DatagramKind::Message:
            out << "Zpráva " << DecodeWindows1250(ParseKey(text)) << " od "
                << DecodeWindows1250(ParseIdent(text)) << " <" << from
                << ">: " << DecodeWindows1250(ParseBody(text)) << Qt::endl;
            break;
        case DatagramKind::Confirmation:
            out << "Konfirmace " << DecodeWindows1250(ParseKey(text)) << " od " << from
                << Qt::endl;
            break;
        case DatagramKind::Ignored:
            break;
        }
    });
    try {
        server.setActive(true);
    } catch (const TransportError &error) {
        out << "Program nelze spustit! " << DecodeWindows1250(error.text()) << Qt::endl;
        return 1;
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        std::signal(SIGINT, OnTerminationSignal);
        std::signal(SIGTERM, OnTerminationSignal);
    }

    out << "Veltrin [" << DecodeWindows1250(computerName) << "]: okno stanice ještě není hotové."
        << Qt::endl
        << "Stanice naslouchá na portu " << server.bindings().front()->Port
        << " a vypisuje přijaté datagramy; konec Ctrl+C." << Qt::endl;
    return app.exec();
}
