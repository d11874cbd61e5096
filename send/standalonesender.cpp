#include "standalonesender.h"

#include "core/rowidclock.h"
#include "core/transport/socketerrors.h"
#include "core/transport/udpclient.h"
#include "core/store/messagestore.h"
#include "core/udm.h"
#include "platform/error.h"

#include <QDateTime>

#include <algorithm>

RowIdBlock ReserveRowIds(qint64 nowMsSinceEpoch, qsizetype count, qint64 lowest)
{
    const qint32 first = qint32(std::max<qint64>(ClockRowId(nowMsSinceEpoch), lowest));
    return {first,
            nowMsSinceEpoch + MsUntilClockPasses(qint32(first + count - 1), nowMsSinceEpoch)};
}

StandaloneSender::StandaloneSender(QByteArray computerName,
                                   QByteArray ident,
                                   QByteArrayList hosts,
                                   QByteArray body,
                                   bool resolveNames,
                                   std::chrono::milliseconds retryInterval,
                                   quint16 listenPort)
    : m_computerName(std::move(computerName))
    , m_reported(std::size_t(hosts.size()), false)
    , m_resolveNames(resolveNames)
    , m_retryInterval(retryInterval)
    , m_listenPort(listenPort)
{
    // A station that quit right after a burst has used numbers the clock has not reached; its
    // store, only read here, knows them.
    m_rowIds = ReserveRowIds(QDateTime::currentMSecsSinceEpoch(),
                             hosts.size(),
                             qint64(MessageStore::HighestIdIn(MessageStore::DefaultPath(),
                                                              HistoryKind::Sent))
                                     + 1);
    m_copies.reserve(std::size_t(hosts.size()));
    for (qsizetype i = 0; i < hosts.size(); ++i) {
        m_copies.emplace_back(
                MakeMessageKey(m_computerName, m_rowIds.firstRowId + i), ident, hosts[i], body);
    }
    m_retry.setInterval(m_retryInterval);
    connect(&m_retry, &QTimer::timeout, this, [this] { attemptAll(); });
    m_finishTimer.setSingleShot(true);
    connect(&m_finishTimer, &QTimer::timeout, this, [this] {
        m_done = true;
        m_server.setActive(false);
        Q_EMIT finished();
    });
    connect(&m_server, &UdpServer::udpRead, this, [this](const QByteArray &data) { read(data); });
    connect(&m_resolver, &HostResolver::resolved, this, &StandaloneSender::hostResolved);
}

StandaloneSender::~StandaloneSender()
{
    m_server.setActive(false);
}

void StandaloneSender::start()
{
    m_server.setDefaultPort(m_listenPort);
    m_server.setActive(true);
    attemptAll();
    if (!allSettled() && !m_stopped)
        m_retry.start();
}

void StandaloneSender::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_retry.stop();
    finishWhenKeysAreSpent();
}

void StandaloneSender::attemptAll()
{
    for (std::size_t i = 0; i < m_copies.size() && !m_stopped; ++i) {
        const bool waiting = std::find(m_lookups.begin(), m_lookups.end(), i) != m_lookups.end();
        if (m_copies[i].State == TMessageQueueItem::Pending && !waiting)
            attempt(i);
    }
}

void StandaloneSender::attempt(std::size_t index)
{
    TMessageQueueItem &copy = m_copies[index];
    if (copy.Attempts < 1) {
        giveUp(index);
        return;
    }
    --copy.Attempts;
    if (const std::optional<IPv4Address> address = SocketLayer::LiteralAddress(copy.Host)) {
        send(index, SocketLayer::DottedText(*address));
        return;
    }
    // Looked up away from this thread, so that a name server that never answers holds up
    // neither the other recipients nor the confirmations.
    m_lookups.push_back(index);
    m_resolver.lookUp(copy.Host);
}

void StandaloneSender::send(std::size_t index, const QByteArray &address)
{
    TMessageQueueItem &copy = m_copies[index];
    // As the station does: a name is resolved once, and later attempts go to the address.
    if (m_resolveNames && !Tdm::IsDottedAddress(copy.Host))
        copy.Host = address;
    try {
        UdpClient client;
        client.setHost(address);
        client.setPort(kStationPort);
        client.Send(BuildMessageDatagram(copy.Key, copy.Ident, copy.Body));
    } catch (const std::exception &error) {
        copy.ErrorText = ErrorTextOf(error);
        giveUp(index);
    }
}

void StandaloneSender::hostResolved(const QByteArray &host,
                                    const QByteArray &address,
                                    int errorCode)
{
    std::vector<std::size_t> answered;
    std::erase_if(m_lookups, [&](std::size_t index) {
        if (m_copies[index].Host != host)
            return false;
        answered.push_back(index);
        return true;
    });
    for (const std::size_t index : answered) {
        if (m_stopped || m_copies[index].State != TMessageQueueItem::Pending)
            continue;
        if (!address.isEmpty()) {
            send(index, address);
        } else {
            m_copies[index].ErrorText = SocketErrorMessage(errorCode);
            giveUp(index);
        }
    }
}

void StandaloneSender::giveUp(std::size_t index)
{
    m_copies[index].Attempts = 0;
    m_copies[index].State = TMessageQueueItem::GivenUp;
    settle(index);
}

void StandaloneSender::read(const QByteArray &data)
{
    const QByteArray text = DatagramText(data);
    if (KindOfDatagram(text) != DatagramKind::Confirmation || m_stopped)
        return;
    const QByteArray key = ParseKey(text);
    for (std::size_t i = 0; i < m_copies.size(); ++i) {
        if (m_copies[i].Key == key && m_copies[i].State == TMessageQueueItem::Pending) {
            m_copies[i].State = TMessageQueueItem::Confirmed;
            settle(i);
            return;
        }
    }
}

void StandaloneSender::settle(std::size_t index)
{
    if (m_reported[index])
        return;
    m_reported[index] = true;
    const TMessageQueueItem &copy = m_copies[index];
    Q_EMIT outcomeKnown(
            {qsizetype(index),
             copy.State == TMessageQueueItem::Confirmed,
             copy.State == TMessageQueueItem::Confirmed ? QByteArray() : copy.ErrorText});
    if (allSettled()) {
        m_retry.stop();
        finishWhenKeysAreSpent();
    }
}

bool StandaloneSender::allSettled() const
{
    return std::all_of(
            m_reported.begin(), m_reported.end(), [](bool reported) { return reported; });
}

void StandaloneSender::finishWhenKeysAreSpent()
{
    if (m_finishTimer.isActive() || m_done)
        return;
    const qint64 wait = m_rowIds.spentAtMs - QDateTime::currentMSecsSinceEpoch();
    m_finishTimer.start(
            int(std::clamp<qint64>(wait, 0, kRowIdClockUnitMs * qint64(m_copies.size()))));
}
