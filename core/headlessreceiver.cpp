#include "headlessreceiver.h"
#include "stationevent.h"
#include "udm.h"

#include "platform/codepage.h"

HeadlessReceiver::HeadlessReceiver(Tdm &dm, QObject *parent)
    : QObject(parent)
    , m_dm(dm)
{}

bool HeadlessReceiver::event(QEvent *event)
{
    if (event->type() != StationEvent::eventType())
        return QObject::event(event);
    handle(static_cast<const StationEvent &>(*event));
    return true;
}

void HeadlessReceiver::handle(const StationEvent &event)
{
    const MessageList *list = nullptr;
    switch (event.code()) {
    case seConfirmed:
    case seFailed:
    case seQueued:
        list = &m_dm.OutboundQueue;
        break;
    case seReceived:
        list = &m_dm.ReceivedList;
        break;
    default:
        break;
    }
    const int position = list ? event.currentPosition(*list) : -1;
    if (m_eventSink)
        m_eventSink(event, position);
    if (event.code() == seStatusText) {
        addStatusLine(event.statusText());
        return;
    }
    // A notification whose entry is gone is ignored as a whole, as is an unknown code.
    if (position < 0)
        return;
    const TMessageQueueItem &entry = *(*list)[position];
    switch (event.code()) {
    case seConfirmed:
    case seFailed:
        // The line is composed before the entry goes.
        addStatusLine(event.code() == seConfirmed ? "Konfirmace " + entry.Key
                                                  : "Chyba: " + entry.Host + ' ' + entry.ErrorText);
        m_dm.RemoveOutbound(position);
        if (position < int(m_queueRows.size()))
            m_queueRows.erase(m_queueRows.begin() + position);
        break;
    case seReceived:
        addStatusLine(EncodeWindows1250(u"Nová zpráva od ") + entry.Ident);
        m_dm.TrimReceivedList();
        break;
    case seQueued:
        m_queueRows.push_back({entry.Host, entry.Body});
        break;
    }
}

void HeadlessReceiver::addStatusLine(const QByteArray &line)
{
    m_statusLines.push_back(line);
    if (m_statusLine)
        m_statusLine(line);
}
