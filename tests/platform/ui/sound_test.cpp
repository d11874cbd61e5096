#include "platform/ui/sound.h"

#include "platform/ui/offscreenapplication.h"
#include "support/printers.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QtEndian>

#include <algorithm>
#include <cstring>

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

// Long enough for a sound to load and play out on a slow machine; a sound that takes longer
// has hung.
constexpr int kSettleTimeoutMs = 10000;

class PlayWaveFileTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureOffscreenApplication("platform_ui_tests"); }
};

bool MultimediaLoaded()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libQt6Multimedia.so");
}

// The effects the sound module has made. The test links no multimedia of its own, so that it
// can tell when the library comes in; an effect is found by its class and read through its
// properties. None while no sound has played, or when the machine has no output to play on.
QObjectList SoundEffects()
{
    QObjectList effects;
    for (QObject *child : QCoreApplication::instance()->children()) {
        if (std::strcmp(child->metaObject()->className(), "QSoundEffect") == 0)
            effects.append(child);
    }
    return effects;
}

QObject *SoundEffect()
{
    const QObjectList effects = SoundEffects();
    return effects.isEmpty() ? nullptr : effects.front();
}

QString EffectStatus(const QObject *effect)
{
    return effect->property("status").toString();
}

QString EffectSource(const QObject *effect)
{
    return effect->property("source").toUrl().toString();
}

// Every sound has loaded (or failed to) and none still plays: whatever a call started is over.
bool SoundsSettled()
{
    const QObjectList effects = SoundEffects();
    return std::all_of(effects.begin(), effects.end(), [](const QObject *effect) {
        return EffectStatus(effect) != QStringLiteral("Loading")
               && !effect->property("playing").toBool();
    });
}

// What a call that must do nothing could change: whether the multimedia library is in, and
// the effect with the file it was given last.
struct SoundState
{
    bool multimediaLoaded = false;
    const QObject *effect = nullptr;
    QString source;
};

SoundState CurrentSoundState()
{
    const QObject *effect = SoundEffect();
    return {MultimediaLoaded(), effect, effect ? EffectSource(effect) : QString()};
}

// A call that does nothing cannot hold up the station while a message arrives, nor leave a
// sound behind that fails later. Run on its own, as ctest runs each test, the library is not in
// yet, so a call that went on as far as the module would show.
void ExpectNothingDone(const SoundState &before)
{
    const SoundState after = CurrentSoundState();
    EXPECT_EQ(after.multimediaLoaded, before.multimediaLoaded);
    EXPECT_EQ(after.effect, before.effect);
    EXPECT_EQ(after.source, before.source);
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
    // The file goes with the test: the sound is over with it first.
    EXPECT_TRUE(QTest::qWaitFor(SoundsSettled, kSettleTimeoutMs));
}

TEST_F(PlayWaveFileTest, EmptyPathDoesNothing)
{
    const SoundState before = CurrentSoundState();
    PlayWaveFile(QString());
    ExpectNothingDone(before);
}

TEST_F(PlayWaveFileTest, MissingFileDoesNothing)
{
    const SoundState before = CurrentSoundState();
    PlayWaveFile(QStringLiteral("/nonexistent/ding.wav"));
    ExpectNothingDone(before);
}

TEST_F(PlayWaveFileTest, DirectoryDoesNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const SoundState before = CurrentSoundState();
    PlayWaveFile(dir.path());
    ExpectNothingDone(before);
}

TEST_F(PlayWaveFileTest, ValidWavePlaysOnTheOneEffect)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = WriteShortWave(dir);
    ASSERT_FALSE(path.isEmpty());

    PlayWaveFile(path);
    EXPECT_TRUE(MultimediaLoaded());
    // Without a sound output the module plays nothing and makes no effect.
    const QObject *effect = SoundEffect();
    if (effect) {
        EXPECT_EQ(EffectSource(effect), QUrl::fromLocalFile(path).toString());
    }
    // A second sound while the first may still play reuses the one effect.
    PlayWaveFile(path);
    EXPECT_EQ(SoundEffect(), effect);
    EXPECT_LE(SoundEffects().size(), 1);
    ASSERT_TRUE(QTest::qWaitFor(SoundsSettled, kSettleTimeoutMs)) << "the sound never played out";
    if (effect) {
        EXPECT_EQ(EffectStatus(effect), QStringLiteral("Ready"));
    }
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

    PlayWaveFile(path);
    EXPECT_TRUE(MultimediaLoaded());
    // The effect finds the file broken on its own time, and nothing of it is left playing.
    ASSERT_TRUE(QTest::qWaitFor(SoundsSettled, kSettleTimeoutMs));
    if (const QObject *effect = SoundEffect()) {
        EXPECT_EQ(EffectStatus(effect), QStringLiteral("Error"));
    }
}

} // namespace
