#include "udm.h"
#include "protocol.h"
#include "rowidclock.h"
#include "settings.h"
#include "transport/socketlayer.h"
#include "transport/transporterror.h"
#include "transport/udpclient.h"

#include "platform/codepage.h"
#include "platform/computername.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QScopedValueRollback>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

constexpr int kTickMilliseconds = 1000;

// Datagrams wait in the socket while the user-interface thread handles the one before them, so
// the socket's buffer is what takes up a burst: at the system's default a few hundred small
// datagrams, the rest dropped. A megabyte holds a couple of thousand, and costs memory only
// while it is full; the system caps it at its own maximum.
constexpr int kReceiveBufferBytes = 1024 * 1024;

QByteArray Text(QStringView czech)
{
    return EncodeWindows1250(czech);
}

QByteArray PartnerText(const QByteArray &name, const QByteArray &address)
{
    return name + " <" + address + '>';
}

} // namespace

Tdm::Tdm(MessageBoxes &boxes,
         std::function<QByteArray()> readComputerName,
         QObject *parent,
         StationPorts ports)
    : QObject(parent)
    , tIn("tIn", HistoryKind::Received)
    , tOut("tOut", HistoryKind::Sent)
    , m_boxes(boxes)
    , m_ports(ports)
    , m_pump([] { QCoreApplication::processEvents(); })
{
    tim.setInterval(kTickMilliseconds);
    connect(&tim, &QTimer::timeout, this, [this] { timTimer(); });
    tim.start();
    srv.setReceiveBufferBytes(kReceiveBufferBytes);
    connect(
            &srv,
            &UdpServer::udpRead,
            this,
            [this](UdpServer &sender, const QByteArray &data, SocketBinding &binding) {
                // An error that escapes the handler costs its datagram only, and must not
                // unwind through the signal.
                try {
                    srvUDPRead(sender, data, binding);
                } catch (...) {
                }
            },
            Qt::DirectConnection);
    DataModuleCreate(readComputerName ? readComputerName : ComputerNetworkName);
}

Tdm::~Tdm()
{
    DataModuleDestroy();
    tim.stop();
}

QString Tdm::HelpFilePath()
{
    QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/VELTRIN.HLP");
    while (path.contains(QStringLiteral("//")))
        path.replace(QStringLiteral("//"), QStringLiteral("/"));
    return path;
}

QByteArray Tdm::StartFailureMessage(const QByteArray &systemText)
{
    return Text(u"Program nelze spustit!") + "\r\n\r\n"
           + Text(u"Možné důvody: buď již jednou spuštěn je, nebo není nainstalovaná podpora "
                  u"síťového protokolu TCP/IP.")
           + "\r\n" + Text(u"Hlášení systému: ") + systemText + "\r\n"
           + Text(u"Pokud je již spuštěn, poklepejte na jeho ikonu v SysTray v pravém dolním "
                  u"rohu.");
}

void Tdm::DataModuleCreate(const std::function<QByteArray()> &readComputerName)
{
    try {
        ComputerName = readComputerName();
        if (ComputerName.isEmpty())
            throw Error(Text(u"Nelze získat jméno tohoto počítače!"));
        LoadSettings(OpenSettingsFile(), ComputerName);
        ReceivedList.clear();
        OutboundQueue.clear();
        srv.setDefaultPort(m_ports.listen.value_or(StationSettings.PORT));
        srv.setActive(true);
        OpenHistory(tIn, m_boxes);
        OpenHistory(tOut, m_boxes);
        if (tOut.isOpen())
            tOut.startIdsAt(ClockRowId(QDateTime::currentMSecsSinceEpoch()));
        m_started = true;
    } catch (const std::exception &error) {
        m_boxes.warning(StartFailureMessage(ErrorTextOf(error)));
        // Queued, so the application ends as soon as its event loop runs.
        QMetaObject::invokeMethod(
                QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

void Tdm::DataModuleDestroy()
{
    // A run that queued messages faster than the clock moves has used IDs the clock has not
    // reached yet; holding the port until it has keeps the next run on this computer from
    // starting below them.
    if (m_started && tOut.isOpen()) {
        const qint64 wait = MsUntilClockPasses(tOut.lastId(), QDateTime::currentMSecsSinceEpoch());
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
    // The port goes first: deactivation may still deliver a datagram, which needs the lists and
    // the histories intact.
    srv.setActive(false);
    CloseHistory(tIn, m_boxes);
    CloseHistory(tOut, m_boxes);
    OutboundQueue.clear();
    m_queueModel.clear();
    ReceivedList.clear();
}

void Tdm::post(int code, const MessageList &list, const std::shared_ptr<TMessageQueueItem> &entry)
{
    // The position is taken only now: a message box raised on the way here runs an event loop,
    // whose notifications may have removed entries below this one, or this one itself.
    const int position = PositionOf(list, entry);
    if (!m_receiver || position < 0)
        return;
    QCoreApplication::postEvent(m_receiver, new StationEvent(code, position, entry));
}

void Tdm::postStatusText(const QByteArray &text)
{
    if (m_receiver)
        QCoreApplication::postEvent(m_receiver, new StationEvent(text));
}

std::shared_ptr<TMessageQueueItem>
Tdm::QueueMessage(const QByteArray &name, const QByteArray &host, const QByteArray &body)
{
    const qint32 id
            = AppendMessage(tOut, PartnerText(name, host), body, StationSettings.MAXRECS, m_boxes);
    const QByteArray key = MakeMessageKey(ComputerName, id);
    auto entry = std::make_shared<TMessageQueueItem>(key, StationSettings.IDENT, host, body);
    OutboundQueue.push_back(entry);
    post(seQueued, OutboundQueue, entry);
    return entry;
}

void Tdm::timTimer()
{
    // The pump below lets the clock's own next tick run; a nested tick would send the entries
    // still to be visited out of turn, so a tick that comes while one runs is left out.
    if (m_inTick)
        return;
    const QScopedValueRollback inTick(m_inTick, true);

    SendTick = SendTick >= kSendTickWrapLimit ? kSendTickRestart : SendTick + 1;
    const int count = int(OutboundQueue.size());
    // From the newest entry to the oldest, so that removals during the pump do not move the
    // entries still to be visited; entries added meanwhile wait for the next tick.
    for (int position = count - 1; position >= 0; --position) {
        if (position >= int(OutboundQueue.size()))
            continue;
        const std::shared_ptr<TMessageQueueItem> entry = OutboundQueue[position];
        if (entry->State == TMessageQueueItem::Pending
            && (entry->Attempts == TMessageQueueItem::kAttempts || SendTick % 8 == 0)) {
            TrySend(*entry);
        }
        if (entry->State == TMessageQueueItem::GivenUp) {
            SetFlagByKey(entry->Key, tOut, HistoryFlag::Failed, m_boxes);
            post(seFailed, OutboundQueue, entry);
        }
        m_pump();
    }
}

void Tdm::TrySend(TMessageQueueItem &entry)
{
    if (entry.State != TMessageQueueItem::Pending)
        return;
    if (entry.Attempts < 1) {
        entry.State = TMessageQueueItem::GivenUp;
        return;
    }
    try {
        UdpClient client;
        --entry.Attempts;
        if (StationSettings.USEIP && !IsDottedAddress(entry.Host)) {
            const QByteArray address = ResolveToAddress(entry.Host);
            if (!address.isEmpty()) {
                postStatusText(entry.Host + ": " + address);
                entry.Host = address;
            }
        }
        client.setHost(entry.Host);
        client.setPort(m_ports.destination);
        client.Send(BuildMessageDatagram(entry.Key, entry.Ident, entry.Body));
    } catch (const std::exception &error) {
        entry.ErrorText = ErrorTextOf(error);
        entry.Attempts = 0;
        entry.State = TMessageQueueItem::GivenUp;
        postStatusText("Chyba: " + entry.Host + ':' + entry.ErrorText);
    }
}

bool Tdm::IsDottedAddress(const QByteArray &text)
{
    for (const char c : text) {
        if (c != '.' && (c < '0' || c > '9'))
            return false;
    }
    return true;
}

QByteArray Tdm::ResolveToAddress(const QByteArray &host)
{
    try {
        return SocketLayer::ResolvePeerAddress(host);
    } catch (const Error &) {
        return {};
    }
}

void Tdm::srvUDPRead(UdpServer &, const QByteArray &data, SocketBinding &binding)
{
    const QByteArray text = DatagramText(data);
    switch (KindOfDatagram(text)) {
    case DatagramKind::Message:
        HandleMessageDatagram(binding, text);
        break;
    case DatagramKind::Confirmation:
        HandleConfirmationDatagram(binding, text);
        break;
    case DatagramKind::Ignored:
        break;
    }
}

void Tdm::HandleMessageDatagram(const SocketBinding &binding, const QByteArray &text)
{
    const QByteArray key = ParseKey(text);
    const QByteArray ident = ParseIdent(text);
    const QByteArray body = ParseBody(text);
    int position = FindByKey(ReceivedList, key);
    if (position != -1
        && (ReceivedList[position]->Ident != ident || ReceivedList[position]->Body != body)) {
        // Not a copy: a sender that was restarted numbers its messages again and reuses a key
        // we remember. The new message takes the old one's place among the remembered keys, so
        // that its own later copies are the repeats.
        ReceivedList.erase(ReceivedList.begin() + position);
        position = -1;
    }
    std::shared_ptr<TMessageQueueItem> entry;
    if (position == -1) {
        entry = std::make_shared<TMessageQueueItem>(key, ident, binding.RemoteIP, body);
        AppendMessage(
                tIn, PartnerText(ident, binding.RemoteIP), body, StationSettings.MAXRECS, m_boxes);
        ReceivedList.push_back(entry);
        post(seReceived, ReceivedList, entry);
    } else {
        // A repeat: the sender missed our confirmation. It is confirmed to where the first copy
        // came from, whatever address this one carries.
        entry = ReceivedList[position];
    }
    SendConfirmation(*entry);
}

void Tdm::HandleConfirmationDatagram(const SocketBinding &, const QByteArray &text)
{
    const QByteArray key = ParseKey(text);
    const int position = FindByKey(OutboundQueue, key);
    if (position == -1)
        return;
    const std::shared_ptr<TMessageQueueItem> entry = OutboundQueue[position];
    if (entry->State == TMessageQueueItem::Confirmed)
        return;
    entry->State = TMessageQueueItem::Confirmed;
    SetFlagByKey(entry->Key, tOut, HistoryFlag::Sent, m_boxes);
    post(seConfirmed, OutboundQueue, entry);
}

void Tdm::SendConfirmation(const TMessageQueueItem &entry)
{
    try {
        UdpClient client;
        client.Send(entry.Host, m_ports.destination, BuildConfirmationDatagram(entry.Key));
    } catch (const std::exception &error) {
        postStatusText("Chyba konfirmace: " + entry.Host + ':' + ErrorTextOf(error));
    }
}

int Tdm::PositionOf(const MessageList &list, const std::shared_ptr<TMessageQueueItem> &entry)
{
    const auto found = std::find(list.begin(), list.end(), entry);
    return found == list.end() ? -1 : int(found - list.begin());
}

int Tdm::FindByKey(const MessageList &list, const QByteArray &key)
{
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i]->Key == key)
            return int(i);
    }
    return -1;
}

Tdm::StationEventEffect Tdm::ApplyStationEvent(const StationEvent &event)
{
    StationEventEffect effect;
    switch (event.code()) {
    case seConfirmed:
    case seFailed: {
        effect.position = event.currentPosition(OutboundQueue);
        if (effect.position < 0)
            break;
        effect.entry = OutboundQueue[effect.position];
        // The line is composed before the entry goes.
        effect.statusLine = event.code() == seConfirmed ? "Konfirmace " + effect.entry->Key
                                                        : "Chyba: " + effect.entry->Host + ' '
                                                                  + effect.entry->ErrorText;
        OutboundQueue.erase(OutboundQueue.begin() + effect.position);
        m_queueModel.removeEntry(effect.entry, effect.position);
        effect.queueRow = StationEventEffect::QueueRow::Removed;
        Q_EMIT queueOutcome(*effect.entry);
        break;
    }
    case seReceived:
        effect.position = event.currentPosition(ReceivedList);
        if (effect.position < 0)
            break;
        effect.entry = ReceivedList[effect.position];
        effect.statusLine = EncodeWindows1250(u"Nová zpráva od ") + effect.entry->Ident;
        effect.newMessage = true;
        while (ReceivedList.size() > kReceivedKeysKept)
            ReceivedList.erase(ReceivedList.begin());
        break;
    case seQueued:
        effect.position = event.currentPosition(OutboundQueue);
        if (effect.position < 0)
            break;
        effect.entry = OutboundQueue[effect.position];
        effect.queueRow = StationEventEffect::QueueRow::Added;
        m_queueModel.appendEntry(effect.entry);
        break;
    case seStatusText:
        effect.statusLine = event.statusText();
        break;
    default:
        break; // consumed without effect
    }
    return effect;
}
