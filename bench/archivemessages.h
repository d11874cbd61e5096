#pragma once

#include "core/store/messagestore.h"

#include <QDateTime>
#include <QString>

#include <vector>

// Messages as a desk's store holds them after most of a year: both boxes, one sent for two
// received, nearly all read or confirmed, a short Czech text each from one colleague. The
// benchmarks that need a full store fill it with these, so that its pages, its index and its
// file are of the size a user's would be.

// One in this many texts holds the word kRareSearch finds (written with its diacritics), and
// none holds the word kAbsentSearch begins.
inline constexpr int kRareWordEvery = 100;
inline constexpr char16_t kRareSearch[] = u"prijata";
inline constexpr char16_t kAbsentSearch[] = u"velbloud";

// The text of message number, in Windows-1250, as ArchiveMessage gives it.
QByteArray ArchiveText(int number);

// Message number (from 1) of a store, taken by it at datum. Each box counts its IDs on its
// own; every text is distinct, as a flood's are.
StoredMessage ArchiveMessage(int number, const QDateTime &datum);

// Adds count messages numbered from first, each dated spacingMs after the one before and the
// last now, in bursts with the event loop running between them as it does in the station, so
// that the deferred pass indexes and checkpoints meanwhile. Gives the time of each add() alone,
// in nanoseconds; fewer than count when the store refused one.
std::vector<qint64> AddInBursts(MessageStore &store, int first, int count, qint64 spacingMs = 0);

// Fills an empty store with count messages a few minutes apart up to now, indexed as the
// deferred pass would have long since; false when the store refused one.
bool FillArchive(MessageStore &store, int count);
