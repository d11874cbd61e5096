#pragma once

#include <QString>

// Starts the wave file playing and returns at once. Meant for the notification sound of an
// arriving message, so every failure is silent: an empty path, a missing or unreadable file, a
// computer without sound output or a call before the application object exists do nothing.
// A new call cuts off the sound still playing. Call it from the thread of the application.
void PlayWaveFile(const QString &path);
