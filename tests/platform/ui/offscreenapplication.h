#pragma once

#include <QApplication>
#include <QByteArray>

// The widget tests run on the offscreen platform, since there is no display where they run; the
// platform has to be chosen before the application object exists. The object is made once for
// the test program and never deleted: its suites share it, and tearing it down during static
// destruction would race Qt's own globals.
inline void EnsureOffscreenApplication(const char *programName)
{
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static QByteArray name(programName);
    static char *argv[] = {name.data(), nullptr};
    new QApplication(argc, argv);
}
