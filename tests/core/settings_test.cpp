#include "core/settings.h"

#include "support/filehelpers.h"
#include "support/printers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <csignal>

namespace {

const QByteArray kComputerName = "PC-NOVAK";

// Points the user's configuration directory elsewhere while it lives.
class ConfigHome
{
public:
    explicit ConfigHome(const QString &path)
        : m_wasSet(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
        , m_old(qgetenv("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(path));
    }
    ~ConfigHome()
    {
        if (m_wasSet)
            qputenv("XDG_CONFIG_HOME", m_old);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    ConfigHome(const ConfigHome &) = delete;
    ConfigHome &operator=(const ConfigHome &) = delete;

private:
    bool m_wasSet;
    QByteArray m_old;
};

class SettingsTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    TStationSettings loadFrom(const QByteArray &bytes)
    {
        WriteFileBytes(m_path, bytes);
        TStationSettings settings;
        LoadSettings(m_file, kComputerName, settings);
        return settings;
    }

    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath(QStringLiteral("veltrin.ini"));
    SettingsFile m_file{ProfileFile(m_path)};
};

using SettingsLoad = SettingsTest;
using SettingsSave = SettingsTest;
using WindowGeometrySettings = SettingsTest;

TStationSettings SomeSettings()
{
    TStationSettings settings;
    settings.USEIP = true;
    settings.IDENT = "Pavel Nov\xE1k";
    settings.PORT = 34888;
    settings.MAXRECS = 500;
    settings.STORE = false;
    settings.KEEPMAX = 20000;
    settings.KEEPDAYS = 30;
    settings.MAXIMIZE = false;
    settings.PLAYWAVE = true;
    settings.WAVEFILE = "/usr/share/sounds/zpr\xE1va.wav";
    return settings;
}

} // namespace

TEST_F(SettingsLoad, DefaultsWithoutAFileAndNoFileCreated)
{
    TStationSettings settings;
    LoadSettings(m_file, kComputerName, settings);

    EXPECT_TRUE(settings.USEIP);
    EXPECT_EQ(settings.IDENT, QByteArray("PC-NOVAK"));
    EXPECT_EQ(settings.PORT, 34888);
    EXPECT_EQ(settings.MAXRECS, 32);
    EXPECT_TRUE(settings.STORE);
    EXPECT_EQ(settings.KEEPMAX, 100000);
    EXPECT_EQ(settings.KEEPDAYS, 365);
    EXPECT_TRUE(settings.MAXIMIZE);
    EXPECT_FALSE(settings.PLAYWAVE);
    EXPECT_EQ(settings.WAVEFILE, QByteArray());
    EXPECT_FALSE(QFileInfo::exists(m_path));
}

TEST_F(SettingsLoad, PortKeepsItsLow16Bits)
{
    EXPECT_EQ(loadFrom("[TCPIP]\r\nPORT=70000\r\n").PORT, 4464);
    EXPECT_EQ(loadFrom("[TCPIP]\r\nPORT=-1\r\n").PORT, 65535);
    EXPECT_EQ(loadFrom("[TCPIP]\r\nPORT=0x8848\r\n").PORT, 34888);
    EXPECT_EQ(loadFrom("[TCPIP]\r\nPORT=$1F90\r\n").PORT, 8080);
    EXPECT_EQ(loadFrom("[TCPIP]\r\nPORT=abc\r\n").PORT, 34888);
    EXPECT_EQ(loadFrom("[TCPIP]\r\nPORT=\r\n").PORT, 34888);
}

TEST_F(SettingsLoad, BooleansAreIntegersAndAnythingButZeroIsTrue)
{
    EXPECT_TRUE(loadFrom("[TCPIP]\r\nUSEIP=2\r\n").USEIP);
    EXPECT_TRUE(loadFrom("[TCPIP]\r\nUSEIP=yes\r\n").USEIP);
    EXPECT_FALSE(loadFrom("[TCPIP]\r\nUSEIP=0\r\n").USEIP);
    EXPECT_FALSE(loadFrom("[ALERT]\r\nMAXIMIZE=0\r\n").MAXIMIZE);
    EXPECT_TRUE(loadFrom("[ALERT]\r\nPLAYWAVE=-1\r\n").PLAYWAVE);
    EXPECT_FALSE(loadFrom("[ALERT]\r\nPLAYWAVE=yes\r\n").PLAYWAVE);
}

TEST_F(SettingsLoad, MaxRecsIsTakenAsWritten)
{
    EXPECT_EQ(loadFrom("[DATABASE]\r\nMAXRECS=0\r\n").MAXRECS, 0);
    EXPECT_EQ(loadFrom("[DATABASE]\r\nMAXRECS=-5\r\n").MAXRECS, -5);
    EXPECT_EQ(loadFrom("[DATABASE]\r\nMAXRECS=100000\r\n").MAXRECS, 100000);
    EXPECT_EQ(loadFrom("[DATABASE]\r\nMAXRECS=many\r\n").MAXRECS, 32);
}

TEST_F(SettingsLoad, EmptyIdentStaysEmpty)
{
    const TStationSettings settings = loadFrom("[TCPIP]\r\nIDENT=\r\n");

    EXPECT_EQ(settings.IDENT, QByteArray());
}

TEST_F(SettingsLoad, WaveFileAndIdentKeepTheirBytes)
{
    const TStationSettings settings = loadFrom("[alert]\r\nwavefile = /home/nov\xE1k/p\xEDp.wav\r\n"
                                               "[tcpip]\r\nident=Pavel  Nov\xE1k\r\n");

    EXPECT_EQ(settings.WAVEFILE, QByteArray("/home/nov\xE1k/p\xEDp.wav"));
    EXPECT_EQ(settings.IDENT, QByteArray("Pavel  Nov\xE1k"));
}

TEST_F(SettingsLoad, LongIdentIsReadAs32BytesUntilASaveCutsTheFile)
{
    const QByteArray ident40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    const TStationSettings settings = loadFrom("[TCPIP]\r\nIDENT=" + ident40 + "\r\n");

    EXPECT_EQ(settings.IDENT, ident40.left(32));
    EXPECT_EQ(m_file.readString("TCPIP", "IDENT", ""), ident40);

    TStationSettings longer = settings;
    longer.IDENT = ident40;
    SaveSettings(m_file, longer);

    EXPECT_EQ(m_file.readString("TCPIP", "IDENT", ""), ident40.left(32));
}

TEST_F(SettingsSave, WritesEveryKeyInOrder)
{
    SaveSettings(m_file, SomeSettings());

    EXPECT_EQ(FileBytes(m_path),
              QByteArray("[TCPIP]\r\n"
                         "USEIP=1\r\n"
                         "IDENT=Pavel Nov\xE1k\r\n"
                         "PORT=34888\r\n"
                         "[DATABASE]\r\n"
                         "MAXRECS=500\r\n"
                         "STORE=0\r\n"
                         "KEEPMAX=20000\r\n"
                         "KEEPDAYS=30\r\n"
                         "[ALERT]\r\n"
                         "MAXIMIZE=0\r\n"
                         "PLAYWAVE=1\r\n"
                         "WAVEFILE=/usr/share/sounds/zpr\xE1va.wav\r\n"));
}

TEST_F(SettingsSave, SavedSettingsLoadBack)
{
    TStationSettings saved = SomeSettings();
    saved.USEIP = false;
    saved.IDENT.clear();
    saved.PORT = 65535;
    saved.MAXRECS = -1;
    SaveSettings(m_file, saved);

    TStationSettings loaded;
    LoadSettings(m_file, kComputerName, loaded);

    EXPECT_EQ(loaded.USEIP, saved.USEIP);
    EXPECT_EQ(loaded.IDENT, QByteArray());
    EXPECT_EQ(loaded.PORT, saved.PORT);
    EXPECT_EQ(loaded.MAXRECS, saved.MAXRECS);
    EXPECT_EQ(loaded.STORE, saved.STORE);
    EXPECT_EQ(loaded.KEEPMAX, saved.KEEPMAX);
    EXPECT_EQ(loaded.KEEPDAYS, saved.KEEPDAYS);
    EXPECT_EQ(loaded.MAXIMIZE, saved.MAXIMIZE);
    EXPECT_EQ(loaded.PLAYWAVE, saved.PLAYWAVE);
    EXPECT_EQ(loaded.WAVEFILE, saved.WAVEFILE);
}

TEST_F(SettingsSave, KeepsWhatOthersWroteAndReplacesKeysInPlace)
{
    WriteFileBytes(m_path,
                   "; veltrin\n"
                   "[tcpip]\n"
                   "Port = 1\n"
                   "HOSTS=pc-1 pc-2\n"
                   "[SIZE]\n"
                   "HEIGHT=400\n");

    SaveSettings(m_file, SomeSettings());

    EXPECT_EQ(FileBytes(m_path),
              QByteArray("; veltrin\n"
                         "[tcpip]\n"
                         "PORT=34888\n"
                         "HOSTS=pc-1 pc-2\n"
                         "USEIP=1\n"
                         "IDENT=Pavel Nov\xE1k\n"
                         "[SIZE]\n"
                         "HEIGHT=400\n"
                         "[DATABASE]\n"
                         "MAXRECS=500\n"
                         "STORE=0\n"
                         "KEEPMAX=20000\n"
                         "KEEPDAYS=30\n"
                         "[ALERT]\n"
                         "MAXIMIZE=0\n"
                         "PLAYWAVE=1\n"
                         "WAVEFILE=/usr/share/sounds/zpr\xE1va.wav\n"));
}

TEST_F(SettingsSave, RefusedFileGivesTheErrorText)
{
    ASSERT_TRUE(QDir().mkdir(m_path));

    try {
        SaveSettings(m_file, SomeSettings());
        FAIL() << "the save was not refused";
    } catch (const ProfileWriteError &error) {
        EXPECT_EQ(error.text(), "Unable to write to " + m_path.toLatin1());
    }
    EXPECT_TRUE(QFileInfo(m_path).isDir());
}

// IDENT grows the file past what the disk takes; WAVEFILE, written later, would shrink it and
// succeed, so a save that went on after the refusal would change the file.
TEST_F(SettingsSave, StopsAtTheFirstRefusedKey)
{
    const QByteArray old = "[TCPIP]\r\nUSEIP=0\r\nIDENT=P\r\nPORT=34888\r\n"
                           "[DATABASE]\r\nMAXRECS=500\r\n"
                           "[ALERT]\r\nMAXIMIZE=0\r\nPLAYWAVE=1\r\n"
                           "WAVEFILE=/a/much/longer/path/than/the/one/saved/below.wav\r\n";
    WriteFileBytes(m_path, old);
    TStationSettings settings = SomeSettings();
    settings.USEIP = false;
    settings.IDENT = "Pavel Novak";
    settings.WAVEFILE = "/a.wav";

    bool refused = false;
    {
        const FileSizeLimit limit(old.size());
        ASSERT_TRUE(limit.active());
        try {
            SaveSettings(m_file, settings);
        } catch (const ProfileWriteError &) {
            refused = true;
        }
    }

    EXPECT_TRUE(refused);
    EXPECT_EQ(FileBytes(m_path), old);
}

TEST(IdentToStore, TypedNameOrComputerNameCutTo32)
{
    const QByteArray name40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";

    EXPECT_EQ(IdentToStore("Pavel", "PC-NOVAK"), QByteArray("Pavel"));
    EXPECT_EQ(IdentToStore(name40, "PC-NOVAK"), name40.left(32));
    EXPECT_EQ(IdentToStore("", "PC-NOVAK"), QByteArray("PC-NOVAK"));
    EXPECT_EQ(IdentToStore("", name40), name40.left(32));
}

TEST(SettingsFileLocation, IsVeltrinIniInTheConfigurationDirectory)
{
    QTemporaryDir configHome;
    ASSERT_TRUE(configHome.isValid());
    const ConfigHome redirected(configHome.path());

    const SettingsFile file = OpenSettingsFile();
    TStationSettings settings;
    LoadSettings(file, kComputerName, settings);

    EXPECT_EQ(file.profile().path(), configHome.path() + QStringLiteral("/veltrin.ini"));
    EXPECT_TRUE(QDir(configHome.path()).isEmpty());
}

TEST_F(WindowGeometrySettings, SavedInTheOrderTheWindowUses)
{
    WindowGeometry geometry;
    geometry.LEFT = DefaultWindowLeft(1024, geometry.WIDTH);

    SaveWindowGeometry(m_file, geometry);

    EXPECT_EQ(FileBytes(m_path),
              QByteArray("[SIZE]\r\n"
                         "HEIGHT=350\r\n"
                         "WIDTH=400\r\n"
                         "TOP=8\r\n"
                         "LEFT=616\r\n"
                         "SPLITTER0=128\r\n"
                         "SPLITTER1=64\r\n"
                         "SPLITTER2=64\r\n"
                         "SPLITTER3=32\r\n"));
}

TEST_F(WindowGeometrySettings, ValuesReadFromSizeWithTheirDefaults)
{
    WriteFileBytes(m_path,
                   "[size]\r\nwidth=640\r\nTOP=-20\r\nLEFT=wide\r\n[TCPIP]\r\nHEIGHT=1\r\n");

    EXPECT_EQ(ReadSizeValue(m_file, "WIDTH", 400), 640);
    EXPECT_EQ(ReadSizeValue(m_file, "TOP", 8), -20);
    EXPECT_EQ(ReadSizeValue(m_file, "LEFT", 100), 100);
    EXPECT_EQ(ReadSizeValue(m_file, "HEIGHT", 350), 350);
}
