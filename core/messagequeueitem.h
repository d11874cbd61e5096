#pragma once

#include <QByteArray>

#include <memory>
#include <vector>

// One message in flight: queued for sending, or received in this run.
struct TMessageQueueItem
{
    enum : quint8 { Pending = 0, Confirmed = 1, GivenUp = 3 };
    static constexpr qint32 kAttempts = 8;

    TMessageQueueItem(QByteArray key, QByteArray ident, QByteArray host, QByteArray body)
        : Key(std::move(key))
        , Host(std::move(host))
        , Ident(std::move(ident))
        , Body(std::move(body))
    {}

    QByteArray Key;
    qint32 Attempts = kAttempts; // attempts left; kAttempts means none made yet
    quint8 State = Pending;
    QByteArray ErrorText;
    QByteArray Host; // outbound: the recipient (its address once resolved); inbound: the sender
    QByteArray Ident;
    QByteArray Body;
};

// The list owns its entries; notifications hold only weak references to them, so an entry
// removed from its list is gone for them too.
using MessageList = std::vector<std::shared_ptr<TMessageQueueItem>>;
