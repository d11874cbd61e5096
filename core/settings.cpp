#include "settings.h"

#include "platform/integertext.h"

#include <QString>

#include <utility>

namespace {

constexpr char kTcpIpSection[] = "TCPIP";
constexpr char kDatabaseSection[] = "DATABASE";
constexpr char kAlertSection[] = "ALERT";

constexpr qint32 kDefaultPort = 34888;
constexpr qint32 kDefaultMaxRecs = 32;
constexpr qint32 kDefaultKeepMax = 100000;
constexpr qint32 kDefaultKeepDays = 365;

} // namespace

SettingsFile::SettingsFile(ProfileFile file)
    : m_file(std::move(file))
{}

qint32
SettingsFile::readInteger(QByteArrayView section, QByteArrayView key, qint32 defaultValue) const
{
    const QByteArray value = m_file.readString(section, key, QByteArray());
    return ParseIntegerText(value).value_or(defaultValue);
}

bool SettingsFile::readBool(QByteArrayView section, QByteArrayView key, bool defaultValue) const
{
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

QByteArray SettingsFile::readString(QByteArrayView section,
                                    QByteArrayView key,
                                    const QByteArray &defaultValue) const
{
    return m_file.readString(section, key, defaultValue);
}

void SettingsFile::writeInteger(QByteArrayView section, QByteArrayView key, qint32 value) const
{
    m_file.writeString(section, key, QByteArray::number(value));
}

void SettingsFile::writeBool(QByteArrayView section, QByteArrayView key, bool value) const
{
    m_file.writeString(section, key, value ? "1" : "0");
}

void SettingsFile::writeString(QByteArrayView section,
                               QByteArrayView key,
                               const QByteArray &value) const
{
    m_file.writeString(section, key, value);
}

SettingsFile OpenSettingsFile()
{
    return SettingsFile(
            ProfileFile(ProfileFile::pathForBareName(QString::fromLatin1(kSettingsFileName))));
}

void LoadSettings(const SettingsFile &file,
                  const QByteArray &computerName,
                  TStationSettings &settings)
{
    TStationSettings loaded;
    loaded.USEIP = file.readBool(kTcpIpSection, "USEIP", true);
    // An IDENT line with nothing after "=" is a deliberately empty name, not a missing one.
    loaded.IDENT = file.readString(kTcpIpSection, "IDENT", computerName).left(kMaxIdentLength);
    // Out-of-range ports wrap the way the old station's 16-bit field took them.
    loaded.PORT = static_cast<quint16>(file.readInteger(kTcpIpSection, "PORT", kDefaultPort));
    loaded.MAXRECS = file.readInteger(kDatabaseSection, "MAXRECS", kDefaultMaxRecs);
    loaded.STORE = file.readBool(kDatabaseSection, "STORE", true);
    loaded.KEEPMAX = file.readInteger(kDatabaseSection, "KEEPMAX", kDefaultKeepMax);
    loaded.KEEPDAYS = file.readInteger(kDatabaseSection, "KEEPDAYS", kDefaultKeepDays);
    loaded.MAXIMIZE = file.readBool(kAlertSection, "MAXIMIZE", true);
    loaded.PLAYWAVE = file.readBool(kAlertSection, "PLAYWAVE", false);
    loaded.WAVEFILE = file.readString(kAlertSection, "WAVEFILE", QByteArray());
    settings = loaded;
}

void SaveSettings(const SettingsFile &file, const TStationSettings &settings)
{
    file.writeBool(kTcpIpSection, "USEIP", settings.USEIP);
    file.writeString(kTcpIpSection, "IDENT", settings.IDENT.left(kMaxIdentLength));
    file.writeInteger(kTcpIpSection, "PORT", settings.PORT);
    file.writeInteger(kDatabaseSection, "MAXRECS", settings.MAXRECS);
    file.writeBool(kDatabaseSection, "STORE", settings.STORE);
    file.writeInteger(kDatabaseSection, "KEEPMAX", settings.KEEPMAX);
    file.writeInteger(kDatabaseSection, "KEEPDAYS", settings.KEEPDAYS);
    file.writeBool(kAlertSection, "MAXIMIZE", settings.MAXIMIZE);
    file.writeBool(kAlertSection, "PLAYWAVE", settings.PLAYWAVE);
    file.writeString(kAlertSection, "WAVEFILE", settings.WAVEFILE);
}

QByteArray IdentToStore(const QByteArray &typed, const QByteArray &computerName)
{
    if (typed.isEmpty())
        return computerName.left(kMaxIdentLength);
    return typed.left(kMaxIdentLength);
}

qint32 ReadSizeValue(const SettingsFile &file, QByteArrayView key, qint32 defaultValue)
{
    return file.readInteger(kSizeSection, key, defaultValue);
}

qint32 DefaultWindowLeft(qint32 screenWidth, qint32 windowWidth)
{
    return screenWidth - (windowWidth + 8);
}

void SaveWindowGeometry(const SettingsFile &file, const WindowGeometry &geometry)
{
    file.writeInteger(kSizeSection, "HEIGHT", geometry.HEIGHT);
    file.writeInteger(kSizeSection, "WIDTH", geometry.WIDTH);
    file.writeInteger(kSizeSection, "TOP", geometry.TOP);
    file.writeInteger(kSizeSection, "LEFT", geometry.LEFT);
    file.writeInteger(kSizeSection, "SPLITTER0", geometry.SPLITTER0);
    file.writeInteger(kSizeSection, "SPLITTER1", geometry.SPLITTER1);
    file.writeInteger(kSizeSection, "SPLITTER2", geometry.SPLITTER2);
    file.writeInteger(kSizeSection, "SPLITTER3", geometry.SPLITTER3);
}
