#pragma once

#include <QByteArray>

#include <cstddef>
#include <iterator>
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
    // Inbound: when the first copy came (milliseconds since the epoch); a sender may repeat it
    // for a while, so its key is remembered at least that long.
    qint64 TakenAtMs = 0;
    // Outbound: carried over from an earlier run, it goes out at the next tick whatever the
    // attempts it has left.
    bool DueNow = false;
};

// The list owns its entries: one removed from its list is gone for whoever holds only a weak
// reference to it.
using MessageList = std::vector<std::shared_ptr<TMessageQueueItem>>;

// A list of entries as others may look at it: in the list's order, and read only.
class MessageListView
{
public:
    class const_iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = TMessageQueueItem;
        using difference_type = std::ptrdiff_t;
        using pointer = const TMessageQueueItem *;
        using reference = const TMessageQueueItem &;

        const_iterator() = default;
        explicit const_iterator(MessageList::const_iterator at)
            : m_at(at)
        {}
        const TMessageQueueItem &operator*() const { return **m_at; }
        const TMessageQueueItem *operator->() const { return m_at->get(); }
        const_iterator &operator++()
        {
            ++m_at;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator before = *this;
            ++m_at;
            return before;
        }
        bool operator==(const const_iterator &other) const = default;

    private:
        MessageList::const_iterator m_at;
    };

    explicit MessageListView(const MessageList &list)
        : m_list(&list)
    {}

    const_iterator begin() const { return const_iterator(m_list->begin()); }
    const_iterator end() const { return const_iterator(m_list->end()); }

    std::size_t size() const { return m_list->size(); }
    bool empty() const { return m_list->empty(); }
    const TMessageQueueItem &operator[](std::size_t index) const { return *(*m_list)[index]; }
    const TMessageQueueItem &front() const { return *m_list->front(); }
    const TMessageQueueItem &back() const { return *m_list->back(); }
    // Where the entry itself (not an equal one) stands, or -1.
    int indexOf(const TMessageQueueItem &entry) const
    {
        for (std::size_t i = 0; i < m_list->size(); ++i) {
            if ((*m_list)[i].get() == &entry)
                return int(i);
        }
        return -1;
    }

private:
    const MessageList *m_list;
};
