#pragma once

#include "error.h"

#include <QByteArray>
#include <QString>

// A refused write of a profile file: "Unable to write to <file>".
class ProfileWriteError : public Error
{
public:
    explicit ProfileWriteError(const QString &path);
};

// One profile (INI) file, addressed anew by every read and write; nothing keeps it open.
//
// Sections and keys are matched without regard to letter case. A write replaces the key in
// place or appends it, creating the section and the file as needed, and keeps every other line
// (other sections, other programs' keys, comments) as it was. A write goes to a temporary file
// beside the old one and is renamed over it, so a crash or a full disk never leaves half a file.
// Files with CR LF or LF line ends are read; a write keeps the file's own line end (CR LF for a
// new file, as the other stations' profile files have).
class ProfileFile
{
public:
    explicit ProfileFile(QString path);

    // The user's configuration directory (normally ~/.config) joined with the bare name.
    static QString pathForBareName(const QString &bareName);

    const QString &path() const { return m_path; }

    // The value, trimmed of surrounding blanks and cut to 2047 bytes; defaultValue when the file,
    // the section or the key is missing. A key present with nothing after "=" reads as empty.
    QByteArray
    readString(QByteArrayView section, QByteArrayView key, const QByteArray &defaultValue) const;

    // Throws ProfileWriteError when the file cannot be written.
    void writeString(QByteArrayView section, QByteArrayView key, const QByteArray &value) const;

private:
    QString m_path;
};
