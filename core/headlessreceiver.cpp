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
    switch (event.code()) {
    case seConfirmed:
    case seFailed: {
        const int position = event.currentPosition(m_dm.OutboundQueue);
        if (m_eventSink)
            m_eventSink(event, position);
        if (position < 0)
            return;
        const TMessageQueueItem &entry = *m_dm.OutboundQueue[position];
        // The line is composed before the entry goes.
        addStatusLine(event.code() == seConfirmed ? "Konfirmace " + entry.Key
                                                  : "Chyba: " + entry.Host + ' ' + entry.ErrorText);
        m_dm.RemoveOutbound(position);
        if (position < int(m_queueRows.size()))
            m_queueRows.erase(m_queueRows.begin() + position);
        return;
    }
    case seReceived: {
        const int position = event.currentPosition(m_dm.ReceivedList);
        if (m_eventSink)
            m_eventSink(event, position);
        if (position < 0)
            return;
        addStatusLine(EncodeWindows1250(u"Nová zpráva od ") + m_dm.ReceivedList[position]->Ident);
        m_dm.TrimReceivedList();
        return;
    }
    case seQueued: {
        const int position = event.currentPosition(m_dm.OutboundQueue);
        if (m_eventSink)
            m_eventSink(event, position);
        if (position < 0)
            return;
        const TMessageQueueItem &entry = *m_dm.OutboundQueue[position];
        m_queueRows.push_back({entry.Host, entry.Body});
        return;
    }
    case seStatusText:
        if (m_eventSink)
            m_eventSink(event, -1);
        addStatusLine(event.statusText());
        return;
    default:
        if (m_eventSink)
            m_eventSink(event, -1);
        return;
    }
}

void HeadlessReceiver::addStatusLine(const QByteArray &line)
{
    m_statusLines.push_back(line);
    if (m_statusLine)
        m_statusLine(line);
}
