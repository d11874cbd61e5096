#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// A file's bytes, empty when there is none; nothing when it is there but cannot be read, which
// a later write must not mistake for an empty file and write over.
std::optional<QByteArray> ReadFileBytes(const QString &path);

// Replaces the file with these bytes through a temporary file renamed over it, so that the old
// file stays whole whatever goes wrong; false when the new bytes could not be put in place.
bool ReplaceFileBytes(const QString &path, const QByteArray &bytes);
