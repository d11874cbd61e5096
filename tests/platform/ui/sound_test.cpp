#include "platform/ui/sound.h"

#include "platform/ui/offscreenapplication.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

template<typename T>
void Append(QByteArray &bytes, T value)
{
    const T little = qToLittleEndian(value);
    bytes.append(reinterpret_cast<const char *>(&little), sizeof little);
}

// A tenth of a second of a 440 Hz square wave, 8 kHz, 8-bit mono PCM.
QByteArray ShortWave()
{
    constexpr quint32 rate = 8000;
    constexpr quint32 samples = rate / 10;
    QByteArray bytes("RIFF");
    Append<quint32>(bytes, 36 + samples);
    bytes.append("WAVEfmt ");
    Append<quint32>(bytes, 16);
    Append<quint16>(bytes, 1); // PCM
    Append<quint16>(bytes, 1); // mono
    Append<quint32>(bytes, rate);
    Append<quint32>(bytes, rate); // bytes per second
    Append<quint16>(bytes, 1);    // block align
    Append<quint16>(bytes, 8);    // bits per sample
    bytes.append("data");
    Append<quint32>(bytes, samples);
    for (quint32 i = 0; i < samples; ++i)
        bytes.append(char((i * 440 * 2 / rate) % 2 ? 0xa0 : 0x60));
    return bytes;
}

class PlayWaveFileTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureOffscreenApplication("platform_ui_tests"); }

    // The station calls it while a message arrives, so it must not hold the caller up.
    static qint64 millisecondsToPlay(const QString &path)
    {
        QElapsedTimer timer;
        timer.start();
        PlayWaveFile(path);
        return timer.elapsed();
    }
};

bool MultimediaLoaded()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libQt6Multimedia.so");
}

QString WriteShortWave(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("ding.wav"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(ShortWave()) != ShortWave().size())
        return {};
    return path;
}

// First of the suite: the station's sound is off by default, and the multimedia library is
// then never loaded; the first sound loads it.
TEST_F(PlayWaveFileTest, MultimediaIsLoadedWithTheFirstSoundOnly)
{
    EXPECT_FALSE(MultimediaLoaded());
    PlayWaveFile(QStringLiteral("/nonexistent/ding.wav"));
    EXPECT_FALSE(MultimediaLoaded());

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = WriteShortWave(dir);
    ASSERT_FALSE(path.isEmpty());
    PlayWaveFile(path);
    EXPECT_TRUE(MultimediaLoaded());
    QTest::qWait(300);
}

TEST_F(PlayWaveFileTest, EmptyPathDoesNothing)
{
    EXPECT_LT(millisecondsToPlay(QString()), 1000);
}

TEST_F(PlayWaveFileTest, MissingFileDoesNothing)
{
    EXPECT_LT(millisecondsToPlay(QStringLiteral("/nonexistent/ding.wav")), 1000);
}

TEST_F(PlayWaveFileTest, DirectoryDoesNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_LT(millisecondsToPlay(dir.path()), 1000);
}

TEST_F(PlayWaveFileTest, ValidWaveReturnsAtOnce)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("ding.wav"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(ShortWave()), ShortWave().size());
    file.close();

    EXPECT_LT(millisecondsToPlay(path), 1000);
    // A second sound while the first may still play reuses the one effect.
    EXPECT_LT(millisecondsToPlay(path), 1000);
    // Lets the sound load and play out, with or without a device, while the file still exists.
    QTest::qWait(300);
}

TEST_F(PlayWaveFileTest, GarbageFileDoesNotCrash)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("broken.wav"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("RIFF not really a wave");
    file.close();

    EXPECT_LT(millisecondsToPlay(path), 1000);
    QTest::qWait(300);
}

} // namespace
