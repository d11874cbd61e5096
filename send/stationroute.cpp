#include "stationroute.h"

#include "platform/codepage.h"

bool StationRoute::connectTo(const QString &path)
{
    connect(&m_socket, &LocalConnection::readyRead, this, [this] { read(); });
    connect(&m_socket, &LocalConnection::disconnected, this, [this] { end(); });
    try {
        m_socket.connectTo(path, kConnectTimeoutMs);
        return true;
    } catch (const std::exception &) {
        return false; // nobody answers there: the sender goes on its own
    }
}

void StationRoute::send(const LocalSendRequest &request)
{
    m_copies = request.hosts.size();
    m_socket.write(EncodeRequestFrame(request));
}

void StationRoute::close()
{
    m_ended = true;
    m_socket.abort();
}

void StationRoute::read()
{
    m_reader.append(m_socket.readAll());
    while (!m_ended) {
        const std::optional<QByteArray> payload = m_reader.next();
        if (!payload)
            break;
        const std::optional<LocalSendReply> reply = DecodeReply(*payload);
        if (!reply) {
            end();
            return;
        }
        switch (reply->kind) {
        case LocalSendReply::Kind::Accepted:
            m_accepted = true;
            break;
        case LocalSendReply::Kind::Refused:
            m_ended = true;
            Q_EMIT refused(reply->text);
            m_socket.abort();
            return;
        case LocalSendReply::Kind::Outcome:
            if (!m_accepted || qsizetype(reply->index) >= m_copies)
                break; // not an answer to this request
            ++m_outcomes;
            Q_EMIT outcomeKnown({qsizetype(reply->index), reply->confirmed, reply->text});
            if (m_outcomes >= m_copies) {
                end();
                return;
            }
            break;
        }
    }
    if (m_reader.overlong())
        end();
}

void StationRoute::end()
{
    if (m_ended)
        return;
    m_ended = true;
    m_socket.abort();
    Q_EMIT closed();
}
