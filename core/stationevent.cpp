#include "stationevent.h"

#include <algorithm>

int StationEvent::currentPosition(const MessageList &list) const
{
    if (!m_hasEntry)
        return m_position >= 0 && m_position < int(list.size()) ? m_position : -1;
    const std::shared_ptr<TMessageQueueItem> entry = m_entry.lock();
    if (!entry)
        return -1;
    const auto found = std::find(list.begin(), list.end(), entry);
    return found == list.end() ? -1 : int(found - list.begin());
}
