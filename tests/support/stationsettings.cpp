#include "stationsettings.h"

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
    auto dm = std::make_unique<Tdm>(
            boxes, [computerName] { return computerName; }, nullptr, ports);
    dm->stopClock();
    if (dm->started()) {
        dm->tOut().startIdsAt(1);
        g_stationPort = dm->listeningPort();
        g_stationPortProcess = ::getpid();
    }
    return dm;
}
