#include "filebytes.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

std::optional<QByteArray> ReadFileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!QFileInfo::exists(path))
            return QByteArray();
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

bool ReplaceFileBytes(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    // Writing in place when the directory refuses a temporary file could leave half a file.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // QSaveFile::commit() renames even when the flush inside it fails (a full disk), so the
    // bytes are flushed and checked first.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
