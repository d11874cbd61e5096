#pragma once

#include "droppedkeyfilter.h"
#include "history.h"
#include "messagequeueitem.h"
#include "outboundqueuemodel.h"
#include "settings.h"
#include "stationports.h"
#include "store/messagestore.h"
#include "transport/hostresolver.h"
#include "transport/udpserver.h"

#include "platform/messageboxes.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The messaging core: the station's identity, settings and life cycle, its port, the outbound
// queue with its one-second retry clock, inbound handling with confirmations, and the two
// histories. It changes its own lists and tables and announces each change with a signal, on
// the thread that created it, where everything runs: the socket is read on that thread's event
// loop, and only name lookups run elsewhere, so that nothing here waits for the network.
//
// One operation at a time: a datagram is handled to its end (stored, confirmed, announced)
// before the next is read, and neither a datagram nor a tick comes in half-way through a
// datagram or a tick's visit of an entry, even when a receiver opens a box whose event loop
// would let them in; a tick that came meanwhile runs right after.
class Tdm : public QObject
{
    Q_OBJECT

public:
    static constexpr int kSendTickWrapLimit = 2147483639; // one below a multiple of 8
    static constexpr int kSendTickRestart = 8;
    // A key is remembered for repeats while it is among the latest kReceivedKeysKept or came in
    // the last kRepeatWindowMs, whichever keeps more: a sender repeats for about a minute, and
    // a burst under loss pushes a key out of any fixed number first. Beyond kMostKeysInMemory
    // the older of those keys are asked of the store.
    static constexpr std::size_t kReceivedKeysKept = 128;
    static constexpr qint64 kRepeatWindowMs = 10 * 60 * 1000;
    static constexpr std::size_t kMostKeysInMemory = 4096;
    // Whoever shows the status lines keeps only the latest ones: a host that sends distinct
    // messages without end would otherwise fill the desk's memory (about 9 MiB in the window).
    static constexpr int kStatusLinesKept = 10000;

    // The tick counter after tick: one higher, or back to 8 past the limit, which keeps the
    // multiples of 8 eight ticks apart across the wrap.
    static constexpr int NextSendTick(int tick)
    {
        return tick >= kSendTickWrapLimit ? kSendTickRestart : tick + 1;
    }

    // Construction brings the station up (computer name, settings, port, histories); when a step
    // fails, it shows the start-up warning through boxes, asks the application to quit, and
    // started() is false. The clock starts with the module. The ports stay the desk's unless
    // the code that builds the station says otherwise.
    explicit Tdm(MessageBoxes &boxes,
                 std::function<QByteArray()> readComputerName = {},
                 QObject *parent = nullptr,
                 StationPorts ports = {});
    ~Tdm() override; // takes the station down: port first, then histories, then the lists

    // The station takes no more datagrams. Every ending does this first, before anything that
    // could announce a message is gone, so that nothing is confirmed that will not be shown.
    void stopListening();

    bool started() const { return m_started; }
    const QByteArray &computerName() const { return m_computerName; }
    // The port the station listens on, as bound; 0 when the start failed.
    quint16 listeningPort() const { return m_srv.binding().Port; }

    const TStationSettings &settings() const { return m_settings; }
    // What the settings dialog chose; the store's bounds hold at once, a new PORT and STORE take
    // effect at the next start.
    void setSettings(const TStationSettings &settings);

    static QString HelpFilePath();
    // The start-up warning around the failing step's text.
    static QByteArray StartFailureMessage(const QByteArray &systemText);

    // Queues one message for one recipient, under the station's IDENT unless another ident is
    // given; it is sent at the next tick. The entry is handed back for callers that follow
    // this one copy.
    std::shared_ptr<const TMessageQueueItem> QueueMessage(const QByteArray &name,
                                                          const QByteArray &host,
                                                          const QByteArray &body,
                                                          const std::optional<QByteArray> &ident
                                                          = {});

    HistoryTable &tIn() { return m_tIn; }
    HistoryTable &tOut() { return m_tOut; }
    const HistoryTable &tIn() const { return m_tIn; }
    const HistoryTable &tOut() const { return m_tOut; }
    // The messages in flight, oldest first.
    MessageListView outboundQueue() const { return MessageListView(m_outboundQueue); }
    // The messages whose keys are remembered for repeats, oldest first.
    MessageListView receivedList() const { return MessageListView(m_receivedList); }
    // The queue as the user follows it; every view of the queue shows the same rows.
    OutboundQueueModel &queueModel() { return m_queueModel; }
    const OutboundQueueModel &queueModel() const { return m_queueModel; }
    MessageBoxes &boxes() { return m_boxes; }

    // The messages on disk; closed when STORE is 0 or the store could not be had.
    MessageStore &store() { return m_store; }
    // The store's file, or the histories' old file names when no store keeps the messages.
    QString historyFileName(const HistoryTable &table) const;
    // The commands on the histories that the store must follow: mark the received history's
    // current row read, delete a history's current row.
    void markRead();
    void deleteCurrent(HistoryTable &table);
    // Messages queued and not yet confirmed or given up.
    int waitingCount() const { return int(m_outboundQueue.size()); }

    // One tick of the clock: attempts due messages, newest first, reports given-up ones, and
    // lets pending events run between two entries. The clock calls it every second; code that
    // drives the station by hand (tests, benchmarks, tools) stops the clock and calls it itself.
    void timTimer();
    void stopClock() { m_tim.stop(); }
    int sendTick() const { return m_sendTick; }
    // Replaces the event pump between two queue entries (tests count or drive it).
    void setPump(std::function<void()> pump) { m_pump = std::move(pump); }
    // Replaces the wall clock (milliseconds since the epoch) that decides how long a received
    // key is remembered.
    void setWallClock(std::function<qint64()> now) { m_now = std::move(now); }
    // Holds fewer than kMostKeysInMemory received keys in memory (tests reach the store's
    // part with a few hundred messages instead of thousands).
    void setMostKeysInMemory(std::size_t most) { m_mostKeysInMemory = most; }

    static bool IsDottedAddress(const QByteArray &text);

Q_SIGNALS:
    // Each change, with the entry it concerns, in the order the changes happen. The entry is
    // the core's and the reference holds only while the receivers run, so they connect
    // directly. A confirmed or given-up entry is announced while it still stands in the queue
    // and leaves it right after, as a new entry is announced before the remembered keys are
    // trimmed to the last kReceivedKeysKept.
    void messageQueued(const TMessageQueueItem &entry);
    // rowId is the message's row in tIn, 0 when the table could not take it.
    void messageReceived(const TMessageQueueItem &entry, qint32 rowId);
    void messageConfirmed(const TMessageQueueItem &entry);
    void messageGivenUp(const TMessageQueueItem &entry);
    // A line for the status log.
    void statusLine(const QByteArray &line);

private:
    // An attempt waiting for its recipient's name to be looked up.
    struct Lookup
    {
        std::weak_ptr<TMessageQueueItem> entry;
        QByteArray host;
        bool keepAddress = false; // USEIP: the address replaces the name, and is announced
    };

    void DataModuleCreate(const std::function<QByteArray()> &readComputerName);
    void DataModuleDestroy();

    void TrySend(const std::shared_ptr<TMessageQueueItem> &entry);
    void sendAttempt(TMessageQueueItem &entry, bool keepAddress, const QByteArray &address);
    void failAttempt(TMessageQueueItem &entry, const QByteArray &errorText);
    void hostResolved(const QByteArray &host, const QByteArray &address, int errorCode);
    bool isLookingUp(const TMessageQueueItem &entry) const;
    void reportGivenUp(const std::shared_ptr<TMessageQueueItem> &entry);
    void removeFromQueue(const std::shared_ptr<TMessageQueueItem> &entry);
    bool inQueue(const std::shared_ptr<TMessageQueueItem> &entry, std::size_t hint) const;

    void openStore();
    void restoreFromStore();
    void storeDelivery(const TMessageQueueItem &entry);
    void storeFlag(HistoryKind box, const QByteArray &key, qint32 flag);
    void rememberReceived(const std::shared_ptr<TMessageQueueItem> &entry);
    std::shared_ptr<TMessageQueueItem> rememberedKey(const QByteArray &key);
    // Status lines of the start, said once the receivers are connected.
    void sayAtStart(const QByteArray &line);
    // How many unread messages the received history no longer shows (only the store has them).
    QByteArray unreadOnlyInStoreLine() const;

    void srvUDPRead(const QByteArray &data, const SocketBinding &binding);
    void HandleMessageDatagram(const SocketBinding &binding, const QByteArray &text);
    void HandleConfirmationDatagram(const QByteArray &text);
    std::optional<QByteArray> SendConfirmation(const TMessageQueueItem &entry);
    static int FindByKey(const MessageList &list, const QByteArray &key);
    void forgetReceived(const std::shared_ptr<TMessageQueueItem> &entry);
    // Drops the remembered keys no sender will repeat any more (see kRepeatWindowMs).
    void forgetOldKeys(qint64 now);

    // Marks an operation under way for its lifetime (see the class comment).
    class Operation;
    // What came during an operation runs after it, from the event loop.
    void scheduleOwed();
    void runOwed();

    MessageBoxes &m_boxes;
    const StationPorts m_ports;
    QByteArray m_computerName;
    TStationSettings m_settings;
    UdpServer m_srv;
    QTimer m_tim;
    int m_sendTick = 0;
    HistoryTable m_tIn;
    HistoryTable m_tOut;
    MessageList m_receivedList;
    // The same entries by their keys, which every datagram asks for before it is confirmed.
    QHash<QByteArray, std::shared_ptr<TMessageQueueItem>> m_receivedKeys;
    // Keys dropped from memory while a sender might still repeat them: until this time a key
    // not in memory is asked of the store.
    qint64 m_keysInStoreUntilMs = 0;
    DroppedKeyFilter m_droppedKeys{kRepeatWindowMs};
    MessageList m_outboundQueue;
    OutboundQueueModel m_queueModel;
    MessageStore m_store;
    // The attempts of the tick under way, written in one commit at its end.
    std::vector<MessageStore::Delivery> m_tickDeliveries;
    std::vector<QByteArray> m_startLines;
    HostResolver m_resolver;
    std::vector<Lookup> m_lookups;
    std::function<void()> m_pump;
    std::function<qint64()> m_now;
    int m_unreadOnlyInStore = 0;
    std::size_t m_mostKeysInMemory = kMostKeysInMemory;
    bool m_started = false;
    bool m_inTick = false;
    bool m_busy = false; // a datagram or a tick's visit of an entry is under way
    bool m_tickOwed = false;
    bool m_owedScheduled = false;
    std::vector<std::function<void()>> m_owed;
};
