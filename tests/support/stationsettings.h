#pragma once

#include <QByteArray>
#include <QString>

// Points the settings file at a fresh directory, with the given contents, for the rest of
// this process (a private-network child).
void UseSettings(const QByteArray &ini);

// The settings file UseSettings points at.
QString UsedSettingsPath();
