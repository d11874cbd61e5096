#include "headlessreceiver.h"
#include "stationevent.h"
#include "udm.h"

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
    const Tdm::StationEventEffect effect = m_dm.ApplyStationEvent(event);
    if (m_eventSink)
        m_eventSink(event, effect.position);
    if (effect.statusLine)
        addStatusLine(*effect.statusLine);
}

const OutboundQueueModel &HeadlessReceiver::queueModel() const
{
    return m_dm.queueModel();
}

void HeadlessReceiver::addStatusLine(const QByteArray &line)
{
    m_statusLines.push_back(line);
    if (m_statusLines.size() > std::size_t(Tdm::kStatusLinesKept))
        m_statusLines.pop_front();
    if (m_statusLine)
        m_statusLine(line);
}
