#pragma once

#include "messagequeueitem.h"

#include <QByteArray>
#include <QEvent>

#include <memory>

// The one way the core tells the user interface what happened: an event posted to the receiver
// the user interface registered, handled on its thread in the order of posting.
inline constexpr int WM_STATIONEVENT = 1912;

enum StationEventCode : int {
    seConfirmed = 1,  // the first confirmation of a queued message came in
    seReceived = 2,   // a message with a key not seen before was stored
    seQueued = 3,     // a message was queued for one recipient
    seFailed = 4,     // a queued message was given up
    seStatusText = 8, // a line for the status log
};

class StationEvent : public QEvent
{
public:
    static QEvent::Type eventType() { return static_cast<QEvent::Type>(WM_STATIONEVENT); }

    StationEvent(int code, int position, std::weak_ptr<TMessageQueueItem> entry)
        : QEvent(eventType())
        , m_code(code)
        , m_position(position)
        , m_entry(std::move(entry))
        , m_hasEntry(true)
    {}

    // A notification that knows only a position, as other posters than the core may send.
    StationEvent(int code, int position)
        : QEvent(eventType())
        , m_code(code)
        , m_position(position)
    {}

    // The event carries its own copy of the text.
    explicit StationEvent(QByteArray statusText)
        : QEvent(eventType())
        , m_code(seStatusText)
        , m_statusText(std::move(statusText))
    {}

    int code() const { return m_code; }
    // The entry's position in its list when the event was posted; it goes stale when earlier
    // notifications remove entries below it, which is why the entry itself travels along.
    int position() const { return m_position; }
    std::shared_ptr<TMessageQueueItem> entry() const { return m_entry.lock(); }
    const QByteArray &statusText() const { return m_statusText; }

    // Where the notification's entry stands in list now, or -1 when it is no longer there: such
    // a notification is ignored as a whole. Without an entry the posted position counts, and
    // only while it is below the list's count.
    int currentPosition(const MessageList &list) const;

private:
    int m_code;
    int m_position = -1;
    std::weak_ptr<TMessageQueueItem> m_entry;
    bool m_hasEntry = false;
    QByteArray m_statusText;
};
