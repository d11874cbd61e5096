#pragma once

#include "standalonesender.h"

#include "localsend/localsendprotocol.h"

#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <functional>

// The way through a station that runs for this user on this computer: the request goes over
// the station's local socket, and the station tells the outcome of each copy as it comes.
class StationRoute : public QObject
{
public:
    static constexpr int kConnectTimeoutMs = 2000;

    using OutcomeSink = std::function<void(const CopyOutcome &outcome)>;

    // True when a station answers on path; false means none runs (or none can be reached).
    bool connectTo(const QString &path);

    void setOutcomeSink(OutcomeSink sink) { m_outcome = std::move(sink); }
    // Called once: the station refused the request (with its text, Windows-1250), or the
    // connection ended; after every copy's outcome, or earlier when the station went away.
    void setRefusedHandler(std::function<void(const QByteArray &text)> h) { m_refused = h; }
    void setClosedHandler(std::function<void()> handler) { m_closed = std::move(handler); }

    void send(const LocalSendRequest &request);
    void close();

    bool wasAccepted() const { return m_accepted; }

private:
    void read();
    void end();

    QLocalSocket m_socket;
    FrameReader m_reader;
    OutcomeSink m_outcome;
    std::function<void(const QByteArray &)> m_refused;
    std::function<void()> m_closed;
    qsizetype m_copies = 0;
    qsizetype m_outcomes = 0;
    bool m_accepted = false;
    bool m_ended = false;
};
