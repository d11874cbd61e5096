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
    switch (effect.queueRow) {
    case Tdm::StationEventEffect::QueueRow::Added:
        m_queueRows.push_back({effect.entry->Host, effect.entry->Body});
        break;
    case Tdm::StationEventEffect::QueueRow::Removed:
        if (effect.position < int(m_queueRows.size()))
            m_queueRows.erase(m_queueRows.begin() + effect.position);
        break;
    case Tdm::StationEventEffect::QueueRow::Unchanged:
        break;
    }
}

void HeadlessReceiver::addStatusLine(const QByteArray &line)
{
    m_statusLines.push_back(line);
    if (m_statusLines.size() > std::size_t(Tdm::kStatusLinesKept))
        m_statusLines.pop_front();
    if (m_statusLine)
        m_statusLine(line);
}
