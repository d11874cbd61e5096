#include "platform/ui/sound.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>

namespace {

using PlayFunction = void (*)(const QString &path);

// The sound module lies beside the program, wherever that is installed; a program of the build
// tree that is not beside it (a test) finds it where the build put it.
PlayFunction LoadPlayer()
{
    const QString name = QStringLiteral(VELTRIN_SOUND_MODULE);
    for (const QString &directory :
         {QCoreApplication::applicationDirPath(), QStringLiteral(VELTRIN_SOUND_MODULE_BUILD_DIR)}) {
        // Never unloaded: the effect it made lives until the application ends.
        QLibrary module(directory + QLatin1Char('/') + name);
        if (auto play = reinterpret_cast<PlayFunction>(module.resolve("veltrinPlayWave")))
            return play;
    }
    return nullptr;
}

} // namespace

void PlayWaveFile(const QString &path)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application || path.isEmpty())
        return;
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return;
    // Loaded with the first sound, and tried once: a missing module leaves the station silent.
    static const PlayFunction play = LoadPlayer();
    if (play)
        play(file.absoluteFilePath());
}
