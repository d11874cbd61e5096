#include "rowidclock.h"

namespace {

constexpr qint64 kRowIdBase = 1000000000;   // ten digits from the start
constexpr qint64 kRowIdPeriod = 1000000000; // the clock wraps after about three years
// An ID further ahead than this was not counted up from the clock of this run's period.
constexpr qint64 kMostIdsAheadOfTheClock = 10000000;

} // namespace

qint32 ClockRowId(qint64 nowMsSinceEpoch)
{
    return qint32(kRowIdBase + (nowMsSinceEpoch / kRowIdClockUnitMs) % kRowIdPeriod);
}

qint64 MsUntilClockPasses(qint32 lastUsedRowId, qint64 nowMsSinceEpoch)
{
    const qint64 ahead = qint64(lastUsedRowId) - ClockRowId(nowMsSinceEpoch);
    if (ahead < 0 || ahead > kMostIdsAheadOfTheClock)
        return 0;
    // The clock passes the ID at the start of the tenth after it.
    return (ahead + 1) * kRowIdClockUnitMs - nowMsSinceEpoch % kRowIdClockUnitMs;
}
