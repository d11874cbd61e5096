#include "stationsettings.h"

#include "core/udm.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

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

std::unique_ptr<Tdm> MakeTestStation(MessageBoxes &boxes, const QByteArray &computerName)
{
    auto dm = std::make_unique<Tdm>(boxes, [computerName] { return computerName; });
    dm->tim.stop();
    if (dm->started())
        dm->tOut.startIdsAt(1);
    return dm;
}
