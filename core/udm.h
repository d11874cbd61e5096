#pragma once

#include "messagequeueitem.h"
#include "outboundqueuemodel.h"
#include "stationevent.h"
#include "stationports.h"
#include "transport/udpserver.h"

#include "platform/messageboxes.h"
#include "core/history.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <optional>

// The messaging core: the station's identity and life cycle, its port, the outbound queue with
// its one-second retry clock, inbound handling with confirmations, the two histories, and the
// notifications through which it tells the user interface what happened. Everything runs on the
// thread that created it; the transport hands datagrams over to that thread.
class Tdm : public QObject
{
    Q_OBJECT

public:
    static constexpr int kSendTickWrapLimit = 2147483639; // one below a multiple of 8
    static constexpr int kSendTickRestart = 8;

    // Construction brings the station up (computer name, settings, port, histories); when a step
    // fails, it shows the start-up warning through boxes, asks the application to quit, and
    // started() is false. The clock starts with the module. The ports stay the desk's unless
    // the code that builds the station says otherwise.
    explicit Tdm(MessageBoxes &boxes,
                 std::function<QByteArray()> readComputerName = {},
                 QObject *parent = nullptr,
                 StationPorts ports = {});
    ~Tdm() override; // takes the station down: port first, then histories, then the lists

    bool started() const { return m_started; }

    // Where notifications go; nullptr drops them, as when no window exists.
    void setStationEventReceiver(QObject *receiver) { m_receiver = receiver; }

    static QString HelpFilePath();

    // Queues one message for one recipient; it is sent at the next tick. The entry is handed
    // back for callers that follow this one copy (its fields may still be set before the tick).
    std::shared_ptr<TMessageQueueItem>
    QueueMessage(const QByteArray &name, const QByteArray &host, const QByteArray &body);

Q_SIGNALS:
    // Every entry that leaves the queue confirmed or given up, as the receiver's share of the
    // notification removes it; its State says which. Nothing else changes meanwhile. Emitted
    // on the core's thread; the reference holds only while the receivers run.
    void queueOutcome(const TMessageQueueItem &entry);

public:
    // One tick of the clock: attempts due messages, newest first, and reports given-up ones,
    // letting pending events run between two entries.
    void timTimer();
    void TrySend(TMessageQueueItem &entry);
    static bool IsDottedAddress(const QByteArray &text);
    static QByteArray ResolveToAddress(const QByteArray &host);

    void srvUDPRead(UdpServer &sender, const QByteArray &data, SocketBinding &binding);
    void HandleMessageDatagram(const SocketBinding &binding, const QByteArray &text);
    void HandleConfirmationDatagram(const SocketBinding &binding, const QByteArray &text);
    void SendConfirmation(const TMessageQueueItem &entry);
    static int FindByKey(const MessageList &list, const QByteArray &key);

    // What a notification means for whoever shows the station, once its receiver has applied
    // it to the lists: the status line to add, the queue row that came or went (queueModel()
    // shows it already), and the entry.
    struct StationEventEffect
    {
        enum class QueueRow { Unchanged, Added, Removed };
        int position = -1; // where the entry stood when handled; -1: ignored as a whole
        std::shared_ptr<TMessageQueueItem> entry;
        std::optional<QByteArray> statusLine;
        QueueRow queueRow = QueueRow::Unchanged;
        bool newMessage = false; // a message not seen before was stored: alert the user
    };

    // The receiver's share of a notification, called on its thread in the order of posting:
    // removes a confirmed or given-up entry from the queue, adds or removes its row in
    // queueModel(), and trims the remembered keys to the last 128. Nothing else removes entries.
    // A notification whose entry is gone changes nothing.
    StationEventEffect ApplyStationEvent(const StationEvent &event);
    static constexpr std::size_t kReceivedKeysKept = 128;
    // Whoever shows the status lines keeps only the latest ones: a host that sends distinct
    // messages without end would otherwise fill the desk's memory (about 9 MiB in the window).
    static constexpr int kStatusLinesKept = 10000;

    // The start-up warning around the failing step's text.
    static QByteArray StartFailureMessage(const QByteArray &systemText);

    // The queue as the user follows it: its rows come and go as ApplyStationEvent handles the
    // notifications, so every view of the queue shows the same rows.
    OutboundQueueModel &queueModel() { return m_queueModel; }
    const OutboundQueueModel &queueModel() const { return m_queueModel; }

    // Replaces the event pump between two queue entries (tests count or drive it).
    void setPump(std::function<void()> pump) { m_pump = std::move(pump); }

    MessageBoxes &boxes() { return m_boxes; }

    UdpServer srv;
    QTimer tim;
    int SendTick = 0; // the tick counter, kept beside the clock
    HistoryTable tIn;
    HistoryTable tOut;
    MessageList ReceivedList;
    MessageList OutboundQueue;
    QByteArray ComputerName;

private:
    void DataModuleCreate(const std::function<QByteArray()> &readComputerName);
    void DataModuleDestroy();
    void post(int code, const MessageList &list, const std::shared_ptr<TMessageQueueItem> &entry);
    static int PositionOf(const MessageList &list, const std::shared_ptr<TMessageQueueItem> &entry);
    void postStatusText(const QByteArray &text);

    MessageBoxes &m_boxes;
    OutboundQueueModel m_queueModel;
    const StationPorts m_ports;
    QPointer<QObject> m_receiver;
    std::function<void()> m_pump;
    bool m_started = false;
    bool m_inTick = false;
};
