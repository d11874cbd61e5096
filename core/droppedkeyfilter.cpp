#include "droppedkeyfilter.h"

#include <QHashFunctions>

#include <algorithm>

namespace {

// Two halves of one 64-bit hash make every probe (the Kirsch-Mitzenmacher construction).
quint64 KeyHash(const QByteArray &key, std::size_t seed)
{
    return quint64(qHash(key, seed));
}

} // namespace

DroppedKeyFilter::DroppedKeyFilter(qint64 windowMs)
    : m_windowMs(windowMs)
{}

void DroppedKeyFilter::rotate(qint64 nowMs)
{
    if (m_current.empty()) {
        m_current.assign(kBits / 64, 0);
        m_currentSinceMs = nowMs;
        return;
    }
    // A generation is kept for a window after it stops taking keys, so a key stays at least
    // that long.
    if (nowMs - m_currentSinceMs < m_windowMs)
        return;
    m_previous.swap(m_current);
    if (m_current.empty())
        m_current.assign(kBits / 64, 0);
    else
        std::fill(m_current.begin(), m_current.end(), 0);
    m_currentSinceMs = nowMs;
}

void DroppedKeyFilter::insert(const QByteArray &key, qint64 nowMs)
{
    rotate(nowMs);
    const quint64 a = KeyHash(key, 0x9e3779b9);
    const quint64 b = KeyHash(key, 0x85ebca6b) | 1;
    for (int i = 0; i < kProbes; ++i) {
        const std::size_t bit = std::size_t((a + quint64(i) * b) % kBits);
        m_current[bit / 64] |= quint64(1) << (bit % 64);
    }
}

bool DroppedKeyFilter::mayContain(const QByteArray &key) const
{
    const quint64 a = KeyHash(key, 0x9e3779b9);
    const quint64 b = KeyHash(key, 0x85ebca6b) | 1;
    for (const std::vector<quint64> *generation : {&m_current, &m_previous}) {
        if (generation->empty())
            continue;
        bool all = true;
        for (int i = 0; i < kProbes && all; ++i) {
            const std::size_t bit = std::size_t((a + quint64(i) * b) % kBits);
            all = ((*generation)[bit / 64] >> (bit % 64)) & 1;
        }
        if (all)
            return true;
    }
    return false;
}
