// The part of the notification sound that needs the multimedia library, built as a module of
// its own: the station loads it, and with it the library, only when the first sound plays, so
// a station whose sound is off (the default) never pays for it.

#include <QAudioDevice>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMediaDevices>
#include <QPointer>
#include <QSoundEffect>
#include <QUrl>

extern "C" Q_DECL_EXPORT void veltrinPlayWave(const QString &path)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
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
    effect->setSource(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    effect->play();
}
