#pragma once

#include <QByteArray>

// Gives this process (a private-network child) a name service that knows only the given hosts
// file, so a lookup can neither reach a real resolver nor find names the machine happens to
// know. Reports a gtest failure when the mounts cannot be made.
void IsolateResolver(const QByteArray &hosts);
