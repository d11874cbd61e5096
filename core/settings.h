#pragma once

#include "platform/profilefile.h"

#include <QByteArray>

// The station's settings as the settings file holds them; field names are the keys' names. The
// station's own record is its core's (Tdm::settings()).
struct TStationSettings
{
    bool USEIP = false;
    QByteArray IDENT;
    quint16 PORT = 0;
    qint32 MAXRECS = 0;
    // The message store on disk: whether it is kept, and its bounds.
    bool STORE = true;
    qint32 KEEPMAX = 100000;
    qint32 KEEPDAYS = 365;
    bool MAXIMIZE = false;
    bool PLAYWAVE = false;
    QByteArray WAVEFILE;
};

inline constexpr qsizetype kMaxIdentLength = 32;
inline constexpr char kSettingsFileName[] = "veltrin.ini";

// One batch of reads or writes of veltrin.ini, typed the way the station stores its values.
class SettingsFile
{
public:
    explicit SettingsFile(ProfileFile file);

    const ProfileFile &profile() const { return m_file; }

    // Integers may carry a sign and "0x", "0X" or "$" for hexadecimal; a value that is no
    // integer, an empty value and a missing key all give the default.
    qint32 readInteger(QByteArrayView section, QByteArrayView key, qint32 defaultValue) const;
    // Read as an integer; anything but 0 is true.
    bool readBool(QByteArrayView section, QByteArrayView key, bool defaultValue) const;
    // A key present with an empty value is empty, not the default.
    QByteArray
    readString(QByteArrayView section, QByteArrayView key, const QByteArray &defaultValue) const;

    // Each throws ProfileWriteError when the file cannot be written.
    void writeInteger(QByteArrayView section, QByteArrayView key, qint32 value) const;
    void writeBool(QByteArrayView section, QByteArrayView key, bool value) const;
    void writeString(QByteArrayView section, QByteArrayView key, const QByteArray &value) const;

private:
    ProfileFile m_file;
};

// veltrin.ini in the user's configuration directory.
SettingsFile OpenSettingsFile();

// Reads the station keys; the computer name is IDENT's default.
void LoadSettings(const SettingsFile &file,
                  const QByteArray &computerName,
                  TStationSettings &settings);

// Writes the station keys in their order; a refused write stops there with
// ProfileWriteError and leaves the record as it is.
void SaveSettings(const SettingsFile &file, const TStationSettings &settings);

// What the settings dialog stores as the station's name: what the user typed, cut to 32
// characters, or the computer name (cut likewise) when nothing was typed.
QByteArray IdentToStore(const QByteArray &typed, const QByteArray &computerName);

// The main window's geometry, section SIZE, in the order the window reads and writes it.
struct WindowGeometry
{
    qint32 HEIGHT = 350;
    qint32 WIDTH = 400;
    qint32 TOP = 8;
    qint32 LEFT = 0;
    qint32 SPLITTER0 = 128;
    qint32 SPLITTER1 = 64;
    qint32 SPLITTER2 = 64;
    qint32 SPLITTER3 = 32;
};

inline constexpr char kSizeSection[] = "SIZE";

// The window applies each value before it reads the next (LEFT's default depends on the width
// just applied), so it reads the keys one by one.
qint32 ReadSizeValue(const SettingsFile &file, QByteArrayView key, qint32 defaultValue);
// The default of LEFT: the window's right edge 8 pixels from the screen's.
qint32 DefaultWindowLeft(qint32 screenWidth, qint32 windowWidth);

// Writes the eight keys in order; throws ProfileWriteError when refused.
void SaveWindowGeometry(const SettingsFile &file, const WindowGeometry &geometry);
