#pragma once

#include <QtGlobal>

// The row IDs that end this computer's message keys. A receiver takes a key it remembers for a
// repeat and never shows it, so no run may reuse an ID of an earlier run, whether a station or
// a standalone sender made it: a run's first ID is the clock in tenths of a second, kept to ten
// digits (it wraps after about three years and stays inside a 32-bit signed integer), and IDs
// then grow by one per message. A run that used IDs faster than the clock moves keeps the
// station's port, which only one sender of the computer can hold, until the clock has passed
// its last ID, so the next run always starts above it.
inline constexpr qint64 kRowIdClockUnitMs = 100;

qint32 ClockRowId(qint64 nowMsSinceEpoch);

// How long, from now, until the clock has passed lastUsedRowId; 0 when it already has, or when
// the ID was not taken from the clock of this period (it is below the clock's, or wrapped).
qint64 MsUntilClockPasses(qint32 lastUsedRowId, qint64 nowMsSinceEpoch);
