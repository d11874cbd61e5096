// Datagrams sent to a running station over its socket, with messages of its own queued and its
// clock ticking in between. The station lives in a network namespace of its own, so everything
// it sends, confirmations included, stays on that namespace's loopback; each input meets a
// station just started.
//
// An input is a series of records separated by the byte 0xFF. A record is a datagram from
// 127.0.0.1, unless its first byte says otherwise:
//   0x01 <body>      queue a message with this body for 127.0.0.1
//   0x02             one tick of the clock
//   0x03 <datagram>  a datagram from 127.0.0.2
//   0x04             let the event loop run once
// After the last record the station's lists, histories and queue rows are checked against what
// the records should have made of them.

#include "fuzztarget.h"

#include "core/protocol.h"
#include "core/store/messagestore.h"
#include "core/udm.h"
#include "tools/loopback.h"
#include "tools/udppeer.h"

#include <QCoreApplication>
#include <QFile>

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr char kSeparator = '\xFF';
constexpr char kQueueRecord = '\x01';
constexpr char kTickRecord = '\x02';
constexpr char kSecondSenderRecord = '\x03';
constexpr char kHandleRecord = '\x04';
constexpr qint32 kMaxRecs = 16;
constexpr quint16 kListenPort = 40000; // the protocol port is left to the two partners below

class PrintingBoxes : public MessageBoxes
{
public:
    void error(const QByteArray &text) override { std::fprintf(stderr, "%s\n", text.data()); }
    void warning(const QByteArray &text) override { std::fprintf(stderr, "%s\n", text.data()); }
};

// A partner's protocol port on one loopback address: it sees what the station sends there, and
// what it sends comes from there.
struct Partner
{
    explicit Partner(const char *address)
        : address(address)
        , socket(address, kStationPort)
    {}

    QByteArray address;
    UdpPeer socket;
};

struct Process
{
    int argc = 1;
    char name[16] = "station_fuzz";
    char *argv[2] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    PrintingBoxes boxes;
    std::unique_ptr<Partner> first;
    std::unique_ptr<Partner> second;
    std::unique_ptr<Tdm> dm;

    // A station just started, with its clock stopped (the records tick it) and its keys
    // counted from 1, so that its end need not wait for the clock to pass them.
    bool startStation()
    {
        dm.reset();
        // Every input meets a station that has seen nothing: what an earlier input left in the
        // store would be restored, and its keys remembered.
        const QString store = MessageStore::DefaultPath();
        for (const QString &file :
             {store, store + QStringLiteral("-wal"), store + QStringLiteral("-shm")})
            QFile::remove(file);
        dm = std::make_unique<Tdm>(boxes, [] { return QByteArray("FUZZ"); });
        if (!dm->started())
            return false;
        dm->stopClock();
        dm->tOut().startIdsAt(1);
        // Between two queue entries nothing is pending that the records did not send.
        dm->setPump([] {});
        return true;
    }
};

// Never destroyed: the application object must not outlive Qt's own globals, which exit
// handlers would tear down first; the station's process ends with the fuzzing.
Process &TheProcess()
{
    static Process *const process = new Process;
    return *process;
}

// A message the station remembers: its key, the address of its first copy, what it said.
struct KnownMessage
{
    QByteArray key;
    QByteArray address;
    QByteArray ident;
    QByteArray body;
};

// What the records should have made of the received keys: the messages not seen before, in
// order, every one of them remembered, since an input takes far less than the ten minutes a key
// is kept for. A remembered key that comes with another ident or body is a new message, which
// takes the old one's place.
struct Expected
{
    std::deque<KnownMessage> keys;
    int newMessages = 0;
    int queued = 0;

    const KnownMessage *find(const QByteArray &key) const
    {
        for (const KnownMessage &known : keys) {
            if (known.key == key)
                return &known;
        }
        return nullptr;
    }

    void forget(const QByteArray &key)
    {
        keys.erase(std::remove_if(keys.begin(),
                                  keys.end(),
                                  [&](const KnownMessage &known) { return known.key == key; }),
                   keys.end());
    }
};

class Run
{
public:
    explicit Run(Process &process)
        : m_process(process)
        , m_dm(*process.dm)
    {
        QObject::connect(&m_dm, &Tdm::messageReceived, [this] { ++m_receivedEvents; });
    }

    void record(const QByteArray &record)
    {
        if (record.startsWith(kQueueRecord)) {
            m_dm.QueueMessage("Jan", "127.0.0.1", record.mid(1));
            ++m_expected.queued;
        } else if (record == QByteArray(1, kTickRecord)) {
            tick();
        } else if (record.startsWith(kSecondSenderRecord)) {
            datagram(record.mid(1), *m_process.second);
        } else if (record == QByteArray(1, kHandleRecord)) {
            QCoreApplication::processEvents();
        } else {
            datagram(record, *m_process.first);
        }
    }

    void finish()
    {
        const MessageListView queue = m_dm.outboundQueue();
        const std::vector<OutboundQueueModel::Row> &rows = m_dm.queueModel().rows();
        FUZZ_CHECK(rows.size() == queue.size(), "queue rows and queue differ in length");
        for (std::size_t i = 0; i < queue.size(); ++i) {
            FUZZ_CHECK(rows[i].host == queue[i].Host && rows[i].body == queue[i].Body,
                       "queue row " + QByteArray::number(qulonglong(i)) + " shows " + rows[i].body
                               + " for " + queue[i].Body);
            FUZZ_CHECK(queue[i].State == TMessageQueueItem::Pending,
                       "a confirmed or given-up entry stayed queued: " + queue[i].Key);
        }

        const MessageListView received = m_dm.receivedList();
        FUZZ_CHECK(received.size() == m_expected.keys.size(),
                   "remembered keys: " + QByteArray::number(qulonglong(received.size())));
        for (std::size_t i = 0; i < received.size(); ++i) {
            FUZZ_CHECK(received[i].Key == m_expected.keys[i].key, received[i].Key);
            FUZZ_CHECK(received[i].Host == m_expected.keys[i].address, received[i].Host);
        }
        FUZZ_CHECK(m_receivedEvents == m_expected.newMessages,
                   "new-message notifications: " + QByteArray::number(m_receivedEvents));
        FUZZ_CHECK(m_dm.tIn().count() == std::min(m_expected.newMessages, kUnreadKeptInView),
                   "received history rows: " + QByteArray::number(m_dm.tIn().count()));
        FUZZ_CHECK(m_dm.tOut().count() == std::min(m_expected.queued, kMaxRecs),
                   "sent history rows: " + QByteArray::number(m_dm.tOut().count()));
        FUZZ_CHECK(nothingArrived(), "a datagram nobody asked for was sent");
    }

private:
    bool nothingArrived() const
    {
        return m_process.first->socket.receiveAll().empty()
               && m_process.second->socket.receiveAll().empty();
    }

    void tick()
    {
        m_dm.timTimer();
        // Only the queued messages go out on a tick, and only to their recipient.
        FUZZ_CHECK(m_process.second->socket.receiveAll().empty(),
                   "a tick sent to the second partner");
        const MessageListView queue = m_dm.outboundQueue();
        for (const QByteArray &sent : m_process.first->socket.receiveAll()) {
            FUZZ_CHECK(sent.startsWith("=FUZZ~"), sent);
            const QByteArray key = ParseKey(sent);
            FUZZ_CHECK(std::any_of(
                               queue.begin(),
                               queue.end(),
                               [&key](const TMessageQueueItem &entry) { return entry.Key == key; }),
                       "sent unqueued " + sent);
        }
    }

    void datagram(const QByteArray &data, Partner &from)
    {
        // What a UDP datagram cannot carry never reaches the station.
        if (!from.socket.sendTo("127.0.0.1", kListenPort, data))
            return;
        // It waits in the station's socket, and one turn of the loop reads it.
        QCoreApplication::processEvents();

        const QByteArray text = DatagramText(data);
        if (data.size() > UdpServer::kBufferSize || KindOfDatagram(text) != DatagramKind::Message) {
            FUZZ_CHECK(nothingArrived(), "answered a datagram that is no message: " + data);
            return;
        }
        // Every copy of a message is confirmed once, to where its first copy came from.
        const QByteArray key = ParseKey(text);
        const QByteArray ident = ParseIdent(text);
        const QByteArray body = ParseBody(text);
        const KnownMessage *known = m_expected.find(key);
        if (known && (known->ident != ident || known->body != body)) {
            m_expected.forget(key);
            known = nullptr;
        }
        const QByteArray expectedAddress = known ? known->address : from.address;
        if (!known) {
            m_expected.keys.push_back({key, from.address, ident, body});
            ++m_expected.newMessages;
            // Stored as the newest row, cut to the columns' widths, whatever bytes it holds.
            FUZZ_CHECK(m_dm.tIn().count() > 0, "a new message was not stored: " + data);
            const HistoryRow &row = m_dm.tIn().row(0);
            FUZZ_CHECK(row.MSG == ParseBody(text).left(400), row.MSG + " stored for " + data);
            const QByteArray partner = ParseIdent(text) + " <" + from.address + '>';
            FUZZ_CHECK(row.FROM == partner.left(64), row.FROM + " stored for " + data);
        }
        Partner &to = expectedAddress == m_process.first->address ? *m_process.first
                                                                  : *m_process.second;
        Partner &other = &to == m_process.first.get() ? *m_process.second : *m_process.first;
        const std::vector<QByteArray> confirmations = to.socket.receiveAll(2000);
        FUZZ_CHECK(confirmations.size() == 1,
                   QByteArray::number(qulonglong(confirmations.size())) + " confirmations of "
                           + data);
        FUZZ_CHECK(confirmations[0] == "#" + key, confirmations[0] + " confirms " + data);
        FUZZ_CHECK(other.socket.receiveAll().empty(), "confirmed to the wrong partner: " + data);
    }

    Process &m_process;
    Tdm &m_dm;
    Expected m_expected;
    int m_receivedEvents = 0;
};

} // namespace

std::string FuzzTargetSetUp()
{
    Process &process = TheProcess();
    if (process.dm)
        return {};
    if (::unshare(CLONE_NEWNET) != 0)
        return std::string("cannot create a private network namespace (needs root): ")
               + std::strerror(errno);
    if (!BringLoopbackUp())
        return std::string("cannot bring lo up: ") + std::strerror(errno);
    const QString directory = FuzzScratchDirectory();
    if (directory.isEmpty())
        return "no temporary directory can be made";
    QFile settings(directory + QStringLiteral("/veltrin.ini"));
    if (!settings.open(QIODevice::WriteOnly))
        return "cannot write the settings file";
    settings.write("[TCPIP]\r\nUSEIP=0\r\nIDENT=Fuzz\r\nPORT=" + QByteArray::number(kListenPort)
                   + "\r\n[DATABASE]\r\nMAXRECS=" + QByteArray::number(kMaxRecs) + "\r\n");
    settings.close();
    qputenv("XDG_CONFIG_HOME", directory.toLocal8Bit());
    qputenv("XDG_DATA_HOME", directory.toLocal8Bit());

    process.app = std::make_unique<QCoreApplication>(process.argc, process.argv);
    process.first = std::make_unique<Partner>("127.0.0.1");
    process.second = std::make_unique<Partner>("127.0.0.2");
    if (!process.first->socket.bound() || !process.second->socket.bound())
        return "cannot bind the partners' ports on loopback";
    if (!process.startStation())
        return "the station did not start";
    return {};
}

void FuzzTestOneInput(const QByteArray &input)
{
    if (!TheProcess().startStation())
        FuzzFailure("the station did not start again");
    Run run(TheProcess());
    for (const QByteArray &record : input.split(kSeparator))
        run.record(record);
    run.finish();
}
