#pragma once

#include "core/messagequeueitem.h"
#include "core/protocol.h"
#include "core/transport/hostresolver.h"
#include "core/transport/udpserver.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <vector>

// What became of one copy, by its position among the recipients.
struct CopyOutcome
{
    qsizetype index = 0;
    bool confirmed = false;
    QByteArray errorText; // Windows-1250; empty when given up for want of a confirmation
};

// The row IDs a standalone run puts into its keys, one per recipient, taken from the clock as a
// station takes its own, and never below lowest (one above what the station's store holds), and
// when the clock will have passed the last of them: the run keeps the port until then.
struct RowIdBlock
{
    qint64 firstRowId = 0;
    qint64 spentAtMs = 0; // when the clock has passed the last ID of the block
};
RowIdBlock ReserveRowIds(qint64 nowMsSinceEpoch, qsizetype count, qint64 lowest = 0);

// Sends one message to each host on its own, as a station would, without being one: it holds
// the station's port for the confirmations, sends every copy at once and then again at every
// retry interval, eight attempts in all, and gives a copy up one interval after its last
// attempt or at its first transport error. A confirmation of one of its own keys is the
// delivery; every other datagram is ignored, nothing is stored and nothing confirmed.
class StandaloneSender : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kRetryInterval{8000};

    // The interval and the port are the station's; only tests shorten the one (so that a
    // give-up comes in well under a second) and move the other (so that a plain socket can
    // stand for the partner on the station's port).
    StandaloneSender(QByteArray computerName,
                     QByteArray ident,
                     QByteArrayList hosts,
                     QByteArray body,
                     bool resolveNames,
                     std::chrono::milliseconds retryInterval = kRetryInterval,
                     quint16 listenPort = kStationPort);
    ~StandaloneSender() override;

    // Binds the port (raising Error when it is taken) and sends the first attempt of every copy.
    void start();
    // Sends no more; the copies still pending get no outcome. Finishing follows as usual.
    void stop();

    bool isFinished() const { return m_done; }
    const std::vector<TMessageQueueItem> &copies() const { return m_copies; }

Q_SIGNALS:
    // Once for each copy, as it is confirmed or given up.
    void outcomeKnown(const CopyOutcome &outcome);
    // Once, when the port is released after the last outcome (or after a stop).
    void finished();

private:
    void attemptAll();
    void attempt(std::size_t index);
    void send(std::size_t index, const QByteArray &address);
    void hostResolved(const QByteArray &host, const QByteArray &address, int errorCode);
    void giveUp(std::size_t index);
    void read(const QByteArray &data);
    void settle(std::size_t index);
    bool allSettled() const;
    void finishWhenKeysAreSpent();

    QByteArray m_computerName;
    std::vector<TMessageQueueItem> m_copies;
    std::vector<bool> m_reported;
    bool m_resolveNames;
    std::chrono::milliseconds m_retryInterval;
    quint16 m_listenPort;
    RowIdBlock m_rowIds;
    UdpServer m_server;
    HostResolver m_resolver;
    std::vector<std::size_t> m_lookups; // copies whose attempt waits for a name
    QTimer m_retry;
    QTimer m_finishTimer;
    bool m_stopped = false;
    bool m_done = false;
};
