#pragma once

#include <QByteArray>

// Gives this process (a private-network child) a name service that knows only the given hosts
// file, so a lookup can neither reach a real resolver nor find names the machine happens to
// know. Reports a gtest failure when the mounts cannot be made.
void IsolateResolver(const QByteArray &hosts);

// The same, but a name the hosts file does not know goes on to a name server on 127.0.0.1 that
// takes every query and never answers, as a dead office server does: each such lookup takes the
// resolver's full timeout (seconds) before it fails. Lives as long as the process.
void IsolateResolverWithStuckNameServer(const QByteArray &hosts);
