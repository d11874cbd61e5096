#pragma once

#include "standalonesender.h"

#include "localsend/localconnection.h"
#include "localsend/localsendprotocol.h"

#include <QObject>
#include <QString>

// The way through a station that runs for this user on this computer: the request goes over
// the station's local socket, and the station tells the outcome of each copy as it comes.
class StationRoute : public QObject
{
    Q_OBJECT

public:
    static constexpr int kConnectTimeoutMs = 2000;

    // True when a station answers on path; false means none runs (or none can be reached).
    bool connectTo(const QString &path);

    void send(const LocalSendRequest &request);
    void close();

    bool wasAccepted() const { return m_accepted; }

Q_SIGNALS:
    // Each copy's outcome as the station tells it.
    void outcomeKnown(const CopyOutcome &outcome);
    // One of these two comes, once: the station refused the request (with its text,
    // Windows-1250), or the connection ended; after every copy's outcome, or earlier when the
    // station went away.
    void refused(const QByteArray &text);
    void closed();

private:
    void read();
    void end();

    LocalConnection m_socket;
    FrameReader m_reader;
    qsizetype m_copies = 0;
    qsizetype m_outcomes = 0;
    bool m_accepted = false;
    bool m_ended = false;
};
