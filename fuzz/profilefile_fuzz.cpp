// The profile-file reader and writer over whatever bytes a settings file may hold: a file
// edited by hand, cut short, or written by another program.

#include "fuzztarget.h"

#include "core/settings.h"
#include "platform/profilefile.h"

#include <QByteArrayList>
#include <QFile>

#include <array>
#include <utility>

namespace {

QString ProfilePath()
{
    return FuzzScratchDirectory() + QStringLiteral("/veltrin.ini");
}

void WriteFile(const QByteArray &bytes)
{
    QFile file(ProfilePath());
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write the input");
    FUZZ_CHECK(file.write(bytes) == bytes.size(), "cannot write the input");
}

QByteArray ReadFile()
{
    QFile file(ProfilePath());
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), "cannot read the file back");
    return file.readAll();
}

// What a value written by the station looks like: one line, as the settings dialog stores it.
QByteArray OneLine(QByteArray value)
{
    for (char &c : value) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    }
    return value.left(64);
}

} // namespace

std::string FuzzTargetSetUp()
{
    return FuzzScratchDirectory().isEmpty() ? "no temporary directory can be made" : "";
}

void FuzzTestOneInput(const QByteArray &input)
{
    WriteFile(input);
    const ProfileFile profile(ProfilePath());

    // The station's own keys, and the names the file itself puts first, so that the reader is
    // asked for what is there as well as for what usually is.
    std::vector<std::pair<QByteArray, QByteArray>> names = {
            {"TCPIP", "USEIP"},
            {"TCPIP", "IDENT"},
            {"tcpip", "port"},
            {"DATABASE", "MAXRECS"},
            {"ALERT", "WAVEFILE"},
            {"SIZE", "SPLITTER3"},
            {"", ""},
    };
    const QByteArrayList lines = input.split('\n');
    if (!lines.isEmpty()) {
        const QByteArray first = lines.first().trimmed();
        const QByteArray second = lines.size() > 1 ? lines[1].split('=').first().trimmed() : "";
        names.emplace_back(first.mid(1, first.size() - 2), second);
    }

    std::vector<QByteArray> before;
    for (const auto &[section, key] : names) {
        const QByteArray value = profile.readString(section, key, "\x01missing");
        FUZZ_CHECK(value.size() <= 2047, value);
        before.push_back(value);
    }

    TStationSettings settings;
    LoadSettings(SettingsFile(profile), "PC7", settings);
    FUZZ_CHECK(settings.IDENT.size() <= kMaxIdentLength, settings.IDENT);

    // A write replaces one key and leaves every other one as it read before.
    const QByteArray written = OneLine(input.right(40));
    try {
        profile.writeString("TCPIP", "IDENT", written);
    } catch (const ProfileWriteError &error) {
        FuzzFailure("a write to a writable file was refused", error.text());
    }
    FUZZ_CHECK(profile.readString("TCPIP", "IDENT", "\x01missing") == written.trimmed(),
               ReadFile());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto &[section, key] = names[i];
        const bool same = section.compare("TCPIP", Qt::CaseInsensitive) == 0
                          && key.compare("IDENT", Qt::CaseInsensitive) == 0;
        if (same)
            continue;
        FUZZ_CHECK(profile.readString(section, key, "\x01missing") == before[i],
                   section + '/' + key + " in " + ReadFile());
    }

    // Settings the station read come back as they were once it has saved them; a name cut to
    // its length may end in a blank, which the file's trimming drops.
    try {
        SaveSettings(SettingsFile(profile), settings);
    } catch (const ProfileWriteError &error) {
        FuzzFailure("settings were not saved to a writable file", error.text());
    }
    TStationSettings reread;
    LoadSettings(SettingsFile(profile), "PC7", reread);
    const QByteArray file = ReadFile();
    FUZZ_CHECK(reread.IDENT == settings.IDENT.trimmed(), reread.IDENT + " in " + file);
    FUZZ_CHECK(reread.USEIP == settings.USEIP && reread.PORT == settings.PORT
                       && reread.MAXRECS == settings.MAXRECS && reread.MAXIMIZE == settings.MAXIMIZE
                       && reread.PLAYWAVE == settings.PLAYWAVE
                       && reread.WAVEFILE == settings.WAVEFILE,
               file);
}
