#include "profilefile.h"

#include "codepage.h"
#include "filebytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStandardPaths>

#include <optional>
#include <utility>

namespace {

constexpr qsizetype kMaxValueLength = 2047;

// One line as it stands in the file, its line end kept apart so that lines nobody touches are
// written back exactly as they were read, whatever their line end.
struct ProfileLine
{
    QByteArray text;
    QByteArray end; // "\r\n", "\n", or empty for a last line without a line end
};

struct ProfileText
{
    QList<ProfileLine> lines;
    QByteArray lineEnd = "\r\n"; // for lines the write adds
};

ProfileText SplitLines(const QByteArray &bytes)
{
    ProfileText text;
    bool sawCrLf = false;
    bool sawLf = false;
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype lf = bytes.indexOf('\n', start);
        if (lf < 0) {
            text.lines.append({bytes.mid(start), {}});
            break;
        }
        const bool crLf = lf > start && bytes[lf - 1] == '\r';
        const qsizetype textEnd = crLf ? lf - 1 : lf;
        text.lines.append({bytes.mid(start, textEnd - start), crLf ? "\r\n" : "\n"});
        if (crLf)
            sawCrLf = true;
        else
            sawLf = true;
        start = lf + 1;
    }
    if (sawLf && !sawCrLf)
        text.lineEnd = "\n";
    return text;
}

QByteArray JoinLines(const ProfileText &text)
{
    QByteArray bytes;
    for (const ProfileLine &line : text.lines)
        bytes += line.text + line.end;
    return bytes;
}

// Profile names are compared the way the old station compared them: ASCII letters only, since
// folding the code page's accented letters depends on a locale that peers need not share.
bool SameName(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// Hand-edited files put remarks after the header ("[TCPIP] ; station"), so the name ends at the
// line's last "]".
std::optional<QByteArray> SectionName(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    const qsizetype close = trimmed.lastIndexOf(']');
    if (!trimmed.startsWith('[') || close < 1)
        return std::nullopt;
    return trimmed.mid(1, close - 1).trimmed();
}

struct KeyLine
{
    QByteArray key;
    QByteArray value;
};

std::optional<KeyLine> SplitKeyLine(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    if (trimmed.startsWith(';'))
        return std::nullopt;
    const qsizetype equals = trimmed.indexOf('=');
    if (equals < 0)
        return std::nullopt;
    return KeyLine{trimmed.left(equals).trimmed(), trimmed.mid(equals + 1).trimmed()};
}

// Where a section and a key stand among the lines; -1 for what is not there. Only the first
// section of the name counts, and within it only the first line of the key, as in reading.
struct Place
{
    qsizetype section = -1;
    qsizetype key = -1;
    qsizetype lastOfSection = -1; // the section's last non-blank line, its header at least
};

Place FindPlace(const QList<ProfileLine> &lines, QByteArrayView section, QByteArrayView key)
{
    Place place;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const std::optional<QByteArray> name = SectionName(lines[i].text);
        if (place.section < 0) {
            if (name && SameName(*name, section)) {
                place.section = i;
                place.lastOfSection = i;
            }
            continue;
        }
        if (name)
            break;
        if (!lines[i].text.trimmed().isEmpty())
            place.lastOfSection = i;
        if (place.key < 0) {
            const std::optional<KeyLine> keyLine = SplitKeyLine(lines[i].text);
            if (keyLine && SameName(keyLine->key, key))
                place.key = i;
        }
    }
    return place;
}

} // namespace

ProfileWriteError::ProfileWriteError(const QString &path)
    : Error(QByteArray("Unable to write to ") + PathToWindows1250(path))
{}

ProfileFile::ProfileFile(QString path)
    : m_path(std::move(path))
{}

QString ProfileFile::pathForBareName(const QString &bareName)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QLatin1Char('/') + bareName;
}

QByteArray ProfileFile::readString(QByteArrayView section,
                                   QByteArrayView key,
                                   const QByteArray &defaultValue) const
{
    const std::optional<QByteArray> bytes = ReadFileBytes(m_path);
    if (!bytes)
        return defaultValue;
    const ProfileText text = SplitLines(*bytes);
    const Place place = FindPlace(text.lines, section, key);
    if (place.key < 0)
        return defaultValue;
    return SplitKeyLine(text.lines[place.key].text)->value.left(kMaxValueLength);
}

void ProfileFile::writeString(QByteArrayView section,
                              QByteArrayView key,
                              const QByteArray &value) const
{
    const std::optional<QByteArray> bytes = ReadFileBytes(m_path);
    if (!bytes)
        throw ProfileWriteError(m_path);

    ProfileText text = SplitLines(*bytes);
    const QByteArray keyLine = key.toByteArray() + '=' + value;
    const Place place = FindPlace(text.lines, section, key);
    if (place.key >= 0) {
        text.lines[place.key].text = keyLine;
    } else if (place.section >= 0) {
        ProfileLine &last = text.lines[place.lastOfSection];
        if (last.end.isEmpty())
            last.end = text.lineEnd;
        text.lines.insert(place.lastOfSection + 1, {keyLine, text.lineEnd});
    } else {
        if (!text.lines.isEmpty() && text.lines.last().end.isEmpty())
            text.lines.last().end = text.lineEnd;
        text.lines.append({'[' + section.toByteArray() + ']', text.lineEnd});
        text.lines.append({keyLine, text.lineEnd});
    }
    const QByteArray newBytes = JoinLines(text);

    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        throw ProfileWriteError(m_path);
    if (!ReplaceFileBytes(m_path, newBytes))
        throw ProfileWriteError(m_path);
}
