#include "platform/ui/sound.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMediaDevices>
#include <QPointer>
#include <QSoundEffect>
#include <QUrl>

void PlayWaveFile(const QString &path)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application || path.isEmpty())
        return;
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return;
    // Without an output the effect would only report errors, and on some back ends wait for a
    // device first.
    if (QMediaDevices::audioOutputs().isEmpty())
        return;

    // One effect for the whole process, owned by the application so that it goes before the
    // multimedia back end does.
    static QPointer<QSoundEffect> effect;
    if (!effect)
        effect = new QSoundEffect(application);
    effect->stop();
    effect->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
    effect->play();
}
