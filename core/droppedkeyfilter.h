#pragma once

#include <QByteArray>

#include <vector>

// The keys the station stopped holding in memory while a sender might still repeat them, kept
// as a filter rather than as keys: a key it never took says so for certain, and only a key it
// may have taken is asked of the store. Without it every new message of a flood would cost a
// look into the store. It holds each key for at least the window it is made with, in two
// generations of a fixed size, taken up only once the first key comes.
class DroppedKeyFilter
{
public:
    explicit DroppedKeyFilter(qint64 windowMs);

    void insert(const QByteArray &key, qint64 nowMs);
    // False only for a key not inserted within the window.
    bool mayContain(const QByteArray &key) const;

private:
    static constexpr std::size_t kBits = std::size_t(1) << 23; // 1 MiB a generation
    static constexpr int kProbes = 3;

    void rotate(qint64 nowMs);

    qint64 m_windowMs;
    qint64 m_currentSinceMs = 0;
    std::vector<quint64> m_current;
    std::vector<quint64> m_previous;
};
