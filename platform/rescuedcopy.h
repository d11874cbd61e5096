#pragma once

#include <QString>

// A file the station found but cannot use is never written over: the user may still rescue
// it. Beside the first copy, path.bak, come at most this many numbered ones.
inline constexpr int kMostRescuedCopies = 99;

// Renames what is at path (a file, a directory, anything) to the first free of path.bak,
// path.bak1 ... path.bak99 and gives the new name; gives nothing when nothing is at path.
// Earlier copies stay as they are. Throws Error when no name is free or the rename fails.
QString MoveAsideAsRescuedCopy(const QString &path);
