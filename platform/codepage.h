#pragma once

#include <QByteArray>
#include <QString>

// The station's texts, files and datagrams are Windows-1250 bytes; Unicode exists only in the
// user interface and in file-system paths. These are the only crossings between the two.

QString DecodeWindows1250(QByteArrayView bytes);

// Characters that Windows-1250 cannot hold become "?" so that nothing is silently dropped;
// callers that must refuse them ask IsWindows1250Text first.
QByteArray EncodeWindows1250(QStringView text);

bool IsWindows1250Text(QStringView text);

// File-system paths are Unicode on Linux; a path inside a message text is shown in the code page.
QByteArray PathToWindows1250(const QString &path);
