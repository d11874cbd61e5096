#include "stationsettings.h"

#include "core/store/messagestore.h"
#include "core/udm.h"
#include "privatenetwork.h"
#include "rawpeer.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

quint16 g_stationPort = 0;
pid_t g_stationPortProcess = 0; // a test child forked after the station knows nothing of it

QTemporaryDir &SettingsDirectory()
{
    static QTemporaryDir dir;
    return dir;
}

QTemporaryDir &StoreDirectories()
{
    static QTemporaryDir dir;
    return dir;
}

} // namespace

QString UseFreshMessageStore()
{
    // Named by the process too: a test that runs in a child of this process counts on from
    // the count the child was given, as every other child does.
    static int made = 0;
    const QString directory = StoreDirectories().filePath(QString::number(::getpid()) + u'-'
                                                          + QString::number(++made));
    qputenv("XDG_DATA_HOME", QFile::encodeName(directory));
    return UsedMessageStorePath();
}

QString UsedMessageStorePath()
{
    return MessageStore::DefaultPath();
}

namespace {

void StationStarted(Tdm &dm)
{
    dm.stopClock();
    if (dm.started()) {
        g_stationPort = dm.listeningPort();
        g_stationPortProcess = ::getpid();
    }
}

} // namespace

QString UsedSettingsPath()
{
    return SettingsDirectory().filePath(QStringLiteral("veltrin.ini"));
}

void UseSettings(const QByteArray &ini)
{
    ASSERT_TRUE(SettingsDirectory().isValid());
    qputenv("XDG_CONFIG_HOME", SettingsDirectory().path().toLocal8Bit());
    QFile file(UsedSettingsPath());
    if (ini.isNull()) {
        file.remove();
        return;
    }
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(ini);
}

StationPorts TestStationPorts()
{
    if (InPrivateNetwork())
        return {};
    return {0, TestPartnerPort()};
}

quint16 TestStationPort()
{
    return g_stationPort != 0 && g_stationPortProcess == ::getpid() ? g_stationPort
                                                                    : kTestStationPort;
}

std::unique_ptr<Tdm>
MakeTestStation(MessageBoxes &boxes, const QByteArray &computerName, const StationPorts &ports)
{
    UseFreshMessageStore();
    auto dm = std::make_unique<Tdm>(
            boxes, [computerName] { return computerName; }, nullptr, ports);
    StationStarted(*dm);
    if (dm->started())
        dm->tOut().startIdsAt(1);
    return dm;
}

std::unique_ptr<Tdm> RestartTestStation(std::unique_ptr<Tdm> &dm,
                                        MessageBoxes &boxes,
                                        const QByteArray &computerName,
                                        const StationPorts &ports)
{
    dm.reset();
    auto restarted = std::make_unique<Tdm>(
            boxes, [computerName] { return computerName; }, nullptr, ports);
    StationStarted(*restarted);
    return restarted;
}
