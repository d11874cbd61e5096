#include "udm.h"
#include "protocol.h"
#include "rowidclock.h"
#include "transport/socketerrors.h"
#include "transport/socketlayer.h"
#include "transport/transporterror.h"
#include "transport/udpclient.h"

#include "platform/codepage.h"
#include "platform/computername.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QScopedValueRollback>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

constexpr int kTickMilliseconds = 1000;

// Datagrams wait in the socket while the station handles the one before them, so the socket's
// buffer is what takes up a burst: at the system's default a few hundred small datagrams, the
// rest dropped. A megabyte holds a couple of thousand, and costs memory only while it is full;
// the system caps it at its own maximum.
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

class Tdm::Operation
{
public:
    explicit Operation(Tdm &dm)
        : m_dm(dm)
        , m_outermost(!dm.m_busy)
    {
        m_dm.m_busy = true;
        m_dm.m_srv.holdReading();
    }
    ~Operation()
    {
        m_dm.m_srv.releaseReading();
        if (m_outermost) {
            m_dm.m_busy = false;
            m_dm.scheduleOwed();
        }
    }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

private:
    Tdm &m_dm;
    bool m_outermost;
};

Tdm::Tdm(MessageBoxes &boxes,
         std::function<QByteArray()> readComputerName,
         QObject *parent,
         StationPorts ports)
    : QObject(parent)
    , m_boxes(boxes)
    , m_ports(ports)
    , m_tIn("tIn", HistoryKind::Received)
    , m_tOut("tOut", HistoryKind::Sent)
    , m_pump([] { QCoreApplication::processEvents(); })
    , m_now([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    m_tim.setInterval(kTickMilliseconds);
    connect(&m_tim, &QTimer::timeout, this, &Tdm::timTimer);
    m_tim.start();
    m_srv.setReceiveBufferBytes(kReceiveBufferBytes);
    connect(&m_srv, &UdpServer::udpRead, this, &Tdm::srvUDPRead);
    connect(&m_srv, &UdpServer::readFailed, this, [this](const QByteArray &errorText) {
        Q_EMIT statusLine(Text(u"Stanice přestala přijímat zprávy: ") + errorText);
    });
    connect(&m_resolver, &HostResolver::resolved, this, &Tdm::hostResolved);
    connect(&m_store, &MessageStore::writeFailed, this, &Tdm::statusLine);
    connect(&m_store, &MessageStore::writeResumed, this, [this] {
        Q_EMIT statusLine(Text(u"Zprávy se opět ukládají do ")
                          + PathToWindows1250(m_store.fileName()));
    });
    DataModuleCreate(readComputerName ? readComputerName : ComputerNetworkName);
}

Tdm::~Tdm()
{
    DataModuleDestroy();
    m_tim.stop();
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
        m_computerName = readComputerName();
        if (m_computerName.isEmpty())
            throw Error(Text(u"Nelze získat jméno tohoto počítače!"));
        LoadSettings(OpenSettingsFile(), m_computerName, m_settings);
        m_receivedList.clear();
        m_receivedKeys.clear();
        m_outboundQueue.clear();
        m_srv.setDefaultPort(m_ports.listen.value_or(m_settings.PORT));
        m_srv.setActive(true);
        OpenHistory(m_tIn, m_boxes);
        OpenHistory(m_tOut, m_boxes);
        if (m_tOut.isOpen())
            m_tOut.startIdsAt(ClockRowId(QDateTime::currentMSecsSinceEpoch()));
        if (m_settings.STORE)
            openStore();
        m_started = true;
    } catch (const std::exception &error) {
        m_boxes.warning(StartFailureMessage(ErrorTextOf(error)));
        // Queued, so the application ends as soon as its event loop runs.
        QMetaObject::invokeMethod(
                QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

void Tdm::setSettings(const TStationSettings &settings)
{
    m_settings = settings;
    if (m_store.isOpen())
        m_store.setLimits(StoreLimits{m_settings.KEEPMAX, m_settings.KEEPDAYS});
}

void Tdm::stopListening()
{
    m_srv.setActive(false);
}

void Tdm::DataModuleDestroy()
{
    stopListening();
    // A run that queued messages faster than the clock moves has used IDs the clock has not
    // reached yet. With the store the next run starts above every ID it holds; without it,
    // holding the port until the clock has passed them keeps the next run on this computer
    // from starting below them.
    if (m_started && m_tOut.isOpen() && !m_store.isOpen()) {
        const qint64 wait
                = MsUntilClockPasses(m_tOut.lastId(), QDateTime::currentMSecsSinceEpoch());
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
    CloseHistory(m_tIn, m_boxes);
    CloseHistory(m_tOut, m_boxes);
    m_outboundQueue.clear();
    m_queueModel.clear();
    m_receivedKeys.clear();
    m_receivedList.clear();
    m_store.close();
}

void Tdm::openStore()
{
    const MessageStore::OpenResult result = m_store.open(
            MessageStore::DefaultPath(), StoreLimits{m_settings.KEEPMAX, m_settings.KEEPDAYS});
    if (!result.problem.isEmpty()) {
        // The station runs on from memory, or from a fresh store, and says so once.
        m_boxes.warning(result.problem);
        sayAtStart(result.problem);
    }
    if (m_store.isOpen())
        restoreFromStore();
}

void Tdm::restoreFromStore()
{
    const qint64 now = m_now();
    const int shown = std::max(m_settings.MAXRECS, 0);
    std::vector<HistoryRow> received;
    QSet<qint32> ids;
    const auto take = [&](const std::vector<StoredMessage> &messages) {
        for (const StoredMessage &message : messages) {
            if (!ids.contains(message.row.ID)) {
                ids.insert(message.row.ID);
                received.push_back(message.row);
            }
        }
    };
    take(m_store.newest(HistoryKind::Received, shown));
    take(m_store.newestUnread(kUnreadKeptInView));
    std::vector<HistoryRow> sent;
    for (const StoredMessage &message : m_store.newest(HistoryKind::Sent, shown))
        sent.push_back(message.row);
    m_tIn.restore(std::move(received));
    m_tOut.restore(std::move(sent));
    TrimHistory(m_tIn, m_settings.MAXRECS);
    TrimHistory(m_tOut, m_settings.MAXRECS);
    const int restored = m_tIn.count() + m_tOut.count();
    int unreadInView = 0;
    for (int i = 0; i < m_tIn.count(); ++i)
        unreadInView += m_tIn.row(i).FLAG == HistoryFlag::New ? 1 : 0;
    // Received IDs go on from the highest stored; sent ones stay above it too, or the clock's,
    // so that no key a partner remembers comes back.
    m_tIn.startIdsAt(std::max(m_tIn.lastId(), m_store.highestId(HistoryKind::Received)) + 1);
    m_tOut.startIdsAt(std::max(
            {m_tOut.lastId() + 1, m_store.highestId(HistoryKind::Sent) + 1, ClockRowId(now)}));

    for (const StoredMessage &message : m_store.waitingSent()) {
        auto entry = std::make_shared<TMessageQueueItem>(
                message.key, message.ident, message.host, message.body);
        entry->Attempts = std::max(message.attempts, 1);
        entry->DueNow = true;
        m_outboundQueue.push_back(entry);
        m_queueModel.appendEntry(entry);
    }
    for (const StoredMessage &message :
         m_store.rememberedReceived(int(kReceivedKeysKept), now - kRepeatWindowMs)) {
        auto entry = std::make_shared<TMessageQueueItem>(
                message.key, message.ident, message.host, message.body);
        entry->TakenAtMs = message.storedAtMs;
        rememberReceived(entry);
    }
    forgetOldKeys(now);

    const qint64 unread = m_store.unreadCount();
    if (restored > 0 || unread > 0) {
        sayAtStart(Text(u"Obnovené zprávy: ") + QByteArray::number(restored));
        sayAtStart(Text(u"Nepřečtené zprávy: ") + QByteArray::number(unread));
    }
    m_unreadOnlyInStore = int(std::max<qint64>(unread - unreadInView, 0));
    if (m_unreadOnlyInStore > 0)
        sayAtStart(unreadOnlyInStoreLine());
    if (!m_outboundQueue.empty())
        sayAtStart(Text(u"Zprávy znovu k odeslání: ")
                   + QByteArray::number(qint64(m_outboundQueue.size())));
}

void Tdm::sayAtStart(const QByteArray &line)
{
    // Whoever shows the lines connects once the core is built; the event loop's first turn
    // comes after that.
    if (m_startLines.empty()) {
        QMetaObject::invokeMethod(
                this,
                [this] {
                    for (const QByteArray &text : std::exchange(m_startLines, {}))
                        Q_EMIT statusLine(text);
                },
                Qt::QueuedConnection);
    }
    m_startLines.push_back(line);
}

QByteArray Tdm::unreadOnlyInStoreLine() const
{
    return Text(u"Nepřečtené zprávy jen v archivu: ") + QByteArray::number(m_unreadOnlyInStore);
}

QString Tdm::historyFileName(const HistoryTable &table) const
{
    return m_store.isOpen() ? m_store.fileName() : HistoryFileName(table);
}

void Tdm::markRead()
{
    if (!m_tIn.isOpen() || m_tIn.count() == 0 || m_tIn.cursor() < 0)
        return;
    const HistoryRow &row = m_tIn.currentRow();
    if (row.FLAG != HistoryFlag::New)
        return;
    const qint32 id = row.ID;
    MarkRead(m_tIn, m_boxes);
    if (m_store.isOpen())
        m_store.setFlag(
                HistoryKind::Received, id, HistoryFlag::Read, *HistoryFlagLabel(HistoryFlag::Read));
}

void Tdm::deleteCurrent(HistoryTable &table)
{
    const std::optional<qint32> id = table.isOpen() && table.cursor() >= 0
                                             ? std::optional(table.currentRow().ID)
                                             : std::nullopt;
    DeleteCurrent(table, m_boxes);
    if (id && m_store.isOpen())
        m_store.remove(table.kind(), *id);
}

void Tdm::storeDelivery(const TMessageQueueItem &entry)
{
    const std::optional<qint32> id = RowIdOfKey(entry.Key);
    if (!id || !m_store.isOpen())
        return;
    if (m_inTick)
        m_tickDeliveries.push_back({*id, entry.Attempts, entry.Host});
    else
        m_store.setDelivery(*id, entry.Attempts, entry.Host);
}

void Tdm::storeFlag(HistoryKind box, const QByteArray &key, qint32 flag)
{
    if (const std::optional<qint32> id = RowIdOfKey(key); id && m_store.isOpen())
        m_store.setFlag(box, *id, flag, HistoryFlagLabel(flag).value_or(QByteArray()));
}

void Tdm::scheduleOwed()
{
    if ((!m_tickOwed && m_owed.empty()) || m_owedScheduled)
        return;
    m_owedScheduled = true;
    QMetaObject::invokeMethod(this, &Tdm::runOwed, Qt::QueuedConnection);
}

void Tdm::runOwed()
{
    m_owedScheduled = false;
    if (m_busy)
        return; // run again once the operation that holds it has ended
    if (std::exchange(m_tickOwed, false))
        timTimer();
    for (const std::function<void()> &work : std::exchange(m_owed, {}))
        work();
}

std::shared_ptr<const TMessageQueueItem> Tdm::QueueMessage(const QByteArray &name,
                                                           const QByteArray &host,
                                                           const QByteArray &body,
                                                           const std::optional<QByteArray> &ident)
{
    const qint32 id
            = AppendMessage(m_tOut, PartnerText(name, host), body, m_settings.MAXRECS, m_boxes);
    const QByteArray key = MakeMessageKey(m_computerName, id);
    auto entry = std::make_shared<TMessageQueueItem>(
            key, ident.value_or(m_settings.IDENT), host, body);
    // On disk before its first datagram: a message the partner may already have taken is one
    // a restart must carry on with.
    if (id != 0 && m_store.isOpen()) {
        StoredMessage message;
        message.box = HistoryKind::Sent;
        message.row = m_tOut.lastAppended();
        message.key = key;
        message.host = host;
        message.ident = entry->Ident;
        message.body = body;
        message.attempts = entry->Attempts;
        message.storedAtMs = QDateTime::currentMSecsSinceEpoch();
        m_store.add(message);
    }
    m_outboundQueue.push_back(entry);
    m_queueModel.appendEntry(entry);
    Q_EMIT messageQueued(*entry);
    return entry;
}

void Tdm::timTimer()
{
    // The pump below lets the clock's own next tick run; a nested tick would send the entries
    // still to be visited out of turn, so a tick that comes while one runs is left out. One
    // that comes during a datagram runs after it.
    if (m_inTick)
        return;
    if (m_busy) {
        m_tickOwed = true;
        return;
    }
    const QScopedValueRollback inTick(m_inTick, true);
    m_sendTick = NextSendTick(m_sendTick);
    // The entries as they stand now, newest first: entries added during the pumps wait for the
    // next tick, and those that leave meanwhile (confirmed, say) are passed over.
    const MessageList visit(m_outboundQueue.rbegin(), m_outboundQueue.rend());
    for (std::size_t i = 0; i < visit.size(); ++i) {
        const std::shared_ptr<TMessageQueueItem> &entry = visit[i];
        if (!inQueue(entry, visit.size() - 1 - i))
            continue;
        {
            const Operation operation(*this);
            if (entry->State == TMessageQueueItem::Pending && !isLookingUp(*entry)
                && (entry->Attempts == TMessageQueueItem::kAttempts || entry->DueNow
                    || m_sendTick % 8 == 0)) {
                entry->DueNow = false;
                TrySend(entry);
            }
            if (entry->State == TMessageQueueItem::GivenUp)
                reportGivenUp(entry);
        }
        m_pump();
    }
    // An attempt the process did not live to write down is made once more after a restart.
    m_store.setDeliveries(std::exchange(m_tickDeliveries, {}));
}

void Tdm::TrySend(const std::shared_ptr<TMessageQueueItem> &entry)
{
    if (entry->State != TMessageQueueItem::Pending)
        return;
    if (entry->Attempts < 1) {
        entry->State = TMessageQueueItem::GivenUp;
        return;
    }
    --entry->Attempts;
    const bool keepAddress = m_settings.USEIP && !IsDottedAddress(entry->Host);
    if (const std::optional<IPv4Address> address = SocketLayer::LiteralAddress(entry->Host)) {
        sendAttempt(*entry, keepAddress, SocketLayer::DottedText(*address));
        return;
    }
    // A name server may take its time, or never answer: the attempt waits for the name away
    // from this thread, and every other partner is served meanwhile.
    m_lookups.push_back({entry, entry->Host, keepAddress});
    m_resolver.lookUp(entry->Host);
}

void Tdm::sendAttempt(TMessageQueueItem &entry, bool keepAddress, const QByteArray &address)
{
    if (keepAddress) {
        Q_EMIT statusLine(entry.Host + ": " + address);
        entry.Host = address;
    }
    storeDelivery(entry);
    try {
        UdpClient client;
        client.setHost(address);
        client.setPort(m_ports.destination);
        client.Send(BuildMessageDatagram(entry.Key, entry.Ident, entry.Body));
    } catch (const std::exception &error) {
        failAttempt(entry, ErrorTextOf(error));
    }
}

void Tdm::failAttempt(TMessageQueueItem &entry, const QByteArray &errorText)
{
    // An error gives the message up at once, without further attempts.
    entry.ErrorText = errorText;
    entry.Attempts = 0;
    entry.State = TMessageQueueItem::GivenUp;
    Q_EMIT statusLine("Chyba: " + entry.Host + ':' + entry.ErrorText);
}

void Tdm::hostResolved(const QByteArray &host, const QByteArray &address, int errorCode)
{
    if (m_busy) {
        m_owed.push_back(
                [this, host, address, errorCode] { hostResolved(host, address, errorCode); });
        return;
    }
    std::vector<Lookup> answered;
    std::erase_if(m_lookups, [&](Lookup &lookup) {
        if (lookup.host != host)
            return false;
        answered.push_back(std::move(lookup));
        return true;
    });
    for (const Lookup &lookup : answered) {
        const std::shared_ptr<TMessageQueueItem> entry = lookup.entry.lock();
        // Confirmed by an earlier attempt's copy, or gone, while the name was looked up.
        if (!entry || entry->State != TMessageQueueItem::Pending || !inQueue(entry, 0))
            continue;
        const Operation operation(*this);
        if (address.isEmpty())
            failAttempt(*entry, SocketErrorMessage(errorCode));
        else
            sendAttempt(*entry, lookup.keepAddress, address);
        if (entry->State == TMessageQueueItem::GivenUp)
            reportGivenUp(entry);
    }
}

bool Tdm::isLookingUp(const TMessageQueueItem &entry) const
{
    return std::any_of(m_lookups.begin(), m_lookups.end(), [&entry](const Lookup &lookup) {
        return lookup.entry.lock().get() == &entry;
    });
}

void Tdm::reportGivenUp(const std::shared_ptr<TMessageQueueItem> &entry)
{
    SetFlagByKey(entry->Key, m_tOut, HistoryFlag::Failed, m_boxes);
    storeFlag(HistoryKind::Sent, entry->Key, HistoryFlag::Failed);
    Q_EMIT messageGivenUp(*entry);
    Q_EMIT statusLine("Chyba: " + entry->Host + ' ' + entry->ErrorText);
    removeFromQueue(entry);
}

void Tdm::removeFromQueue(const std::shared_ptr<TMessageQueueItem> &entry)
{
    const auto found = std::find(m_outboundQueue.begin(), m_outboundQueue.end(), entry);
    if (found == m_outboundQueue.end())
        return;
    const int position = int(found - m_outboundQueue.begin());
    m_outboundQueue.erase(found);
    m_queueModel.removeEntry(entry, position);
}

bool Tdm::inQueue(const std::shared_ptr<TMessageQueueItem> &entry, std::size_t hint) const
{
    // Nearly always where it was: only a removal below it moves it.
    if (hint < m_outboundQueue.size() && m_outboundQueue[hint] == entry)
        return true;
    return std::find(m_outboundQueue.begin(), m_outboundQueue.end(), entry)
           != m_outboundQueue.end();
}

bool Tdm::IsDottedAddress(const QByteArray &text)
{
    for (const char c : text) {
        if (c != '.' && (c < '0' || c > '9'))
            return false;
    }
    return true;
}

void Tdm::srvUDPRead(const QByteArray &data, const SocketBinding &binding)
{
    const Operation operation(*this);
    // The edge of a datagram's handling: whatever goes wrong costs this datagram only, and the
    // status log says so.
    try {
        const QByteArray text = DatagramText(data);
        switch (KindOfDatagram(text)) {
        case DatagramKind::Message:
            HandleMessageDatagram(binding, text);
            break;
        case DatagramKind::Confirmation:
            HandleConfirmationDatagram(text);
            break;
        case DatagramKind::Ignored:
            break;
        }
    } catch (const std::exception &error) {
        Q_EMIT statusLine(Text(u"Chyba příjmu: ") + binding.RemoteIP + ':' + ErrorTextOf(error));
    }
}

void Tdm::HandleMessageDatagram(const SocketBinding &binding, const QByteArray &text)
{
    const QByteArray key = ParseKey(text);
    const QByteArray ident = ParseIdent(text);
    const QByteArray body = ParseBody(text);
    std::shared_ptr<TMessageQueueItem> remembered = rememberedKey(key);
    if (remembered && (remembered->Ident != ident || remembered->Body != body)) {
        // Not a copy: a sender that was restarted numbers its messages again and reuses a key
        // we remember. The new message takes the old one's place among the remembered keys, so
        // that its own later copies are the repeats.
        forgetReceived(remembered);
        remembered = nullptr;
    }
    const bool isNew = !remembered;
    std::shared_ptr<TMessageQueueItem> entry;
    qint32 rowId = 0;
    int unreadDropped = 0;
    if (isNew) {
        entry = std::make_shared<TMessageQueueItem>(key, ident, binding.RemoteIP, body);
        entry->TakenAtMs = m_now();
        rowId = AppendMessage(m_tIn,
                              PartnerText(ident, binding.RemoteIP),
                              body,
                              m_settings.MAXRECS,
                              m_boxes,
                              &unreadDropped);
        // Committed before it is confirmed: a confirmed message outlives the process.
        if (rowId != 0 && m_store.isOpen()) {
            StoredMessage message;
            message.box = HistoryKind::Received;
            message.row = m_tIn.lastAppended();
            message.key = key;
            message.host = binding.RemoteIP;
            message.ident = ident;
            message.body = body;
            message.storedAtMs = entry->TakenAtMs;
            m_store.add(message);
        }
        rememberReceived(entry);
    } else {
        // A repeat: the sender missed our confirmation. It is confirmed to where the first copy
        // came from, whatever address this one carries.
        entry = remembered;
    }
    // Stored first, confirmed next, and only then shown: the sender waits for nobody's alert.
    const std::optional<QByteArray> confirmationError = SendConfirmation(*entry);
    if (isNew) {
        Q_EMIT messageReceived(*entry, rowId);
        static const QByteArray newMessageFrom = Text(u"Nová zpráva od ");
        Q_EMIT statusLine(newMessageFrom + entry->Ident);
        if (unreadDropped > 0) {
            m_unreadOnlyInStore += unreadDropped;
            Q_EMIT statusLine(unreadOnlyInStoreLine());
        }
        forgetOldKeys(entry->TakenAtMs);
    }
    if (confirmationError)
        Q_EMIT statusLine(*confirmationError);
}

void Tdm::rememberReceived(const std::shared_ptr<TMessageQueueItem> &entry)
{
    m_receivedList.push_back(entry);
    m_receivedKeys.insert(entry->Key, entry);
}

std::shared_ptr<TMessageQueueItem> Tdm::rememberedKey(const QByteArray &key)
{
    if (std::shared_ptr<TMessageQueueItem> entry = m_receivedKeys.value(key))
        return entry;
    const qint64 now = m_now();
    if (!m_store.isOpen() || now >= m_keysInStoreUntilMs || !m_droppedKeys.mayContain(key))
        return nullptr;
    const std::optional<StoredMessage> stored = m_store.receivedByKey(key, now - kRepeatWindowMs);
    if (!stored)
        return nullptr;
    auto entry = std::make_shared<TMessageQueueItem>(
            stored->key, stored->ident, stored->host, stored->body);
    entry->TakenAtMs = stored->storedAtMs;
    return entry;
}

void Tdm::forgetOldKeys(qint64 now)
{
    while (m_receivedList.size() > kReceivedKeysKept) {
        const TMessageQueueItem &oldest = *m_receivedList.front();
        const bool mayRepeat = now - oldest.TakenAtMs < kRepeatWindowMs;
        if (mayRepeat && m_receivedList.size() <= m_mostKeysInMemory)
            return;
        if (mayRepeat) {
            m_keysInStoreUntilMs
                    = std::max(m_keysInStoreUntilMs, oldest.TakenAtMs + kRepeatWindowMs);
            m_droppedKeys.insert(oldest.Key, now);
        }
        forgetReceived(m_receivedList.front());
    }
}

void Tdm::HandleConfirmationDatagram(const QByteArray &text)
{
    const QByteArray key = ParseKey(text);
    const int position = FindByKey(m_outboundQueue, key);
    if (position == -1)
        return;
    const std::shared_ptr<TMessageQueueItem> entry = m_outboundQueue[position];
    if (entry->State == TMessageQueueItem::Confirmed)
        return;
    entry->State = TMessageQueueItem::Confirmed;
    SetFlagByKey(entry->Key, m_tOut, HistoryFlag::Sent, m_boxes);
    storeFlag(HistoryKind::Sent, entry->Key, HistoryFlag::Sent);
    Q_EMIT messageConfirmed(*entry);
    Q_EMIT statusLine("Konfirmace " + entry->Key);
    removeFromQueue(entry);
}

std::optional<QByteArray> Tdm::SendConfirmation(const TMessageQueueItem &entry)
{
    try {
        UdpClient client;
        client.Send(entry.Host, m_ports.destination, BuildConfirmationDatagram(entry.Key));
        return std::nullopt;
    } catch (const std::exception &error) {
        return Text(u"Chyba konfirmace: ") + entry.Host + ':' + ErrorTextOf(error);
    }
}

void Tdm::forgetReceived(const std::shared_ptr<TMessageQueueItem> &entry)
{
    // One the store gave back is in neither.
    if (const auto found = m_receivedKeys.constFind(entry->Key);
        found != m_receivedKeys.cend() && *found == entry)
        m_receivedKeys.erase(found);
    if (const auto found = std::find(m_receivedList.begin(), m_receivedList.end(), entry);
        found != m_receivedList.end())
        m_receivedList.erase(found);
}

int Tdm::FindByKey(const MessageList &list, const QByteArray &key)
{
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i]->Key == key)
            return int(i);
    }
    return -1;
}
