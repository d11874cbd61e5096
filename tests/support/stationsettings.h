#pragma once

#include "core/stationports.h"

#include <QByteArray>
#include <QString>

#include <memory>

class MessageBoxes;
class Tdm;

// Points the settings file at a fresh directory, with the given contents, for the rest of
// this process.
void UseSettings(const QByteArray &ini);

// The settings file UseSettings points at.
QString UsedSettingsPath();

// The ports of a station under test: the desk's own in a private network; on the machine's
// loopback any free port to listen on, whatever the settings say, and the test's partner to
// send to.
StationPorts TestStationPorts();

// Points the message store ($XDG_DATA_HOME) at a fresh, empty directory for the rest of this
// process, and gives the store file's path there.
QString UseFreshMessageStore();
// The store file the station would open now.
QString UsedMessageStorePath();

// A station under test on the settings in use, with a message store of its own that starts
// empty: its clock stopped, so that the test drives each tick, and its keys counted from 1,
// which read better in the cases than the clock's digits.
std::unique_ptr<Tdm> MakeTestStation(MessageBoxes &boxes,
                                     const QByteArray &computerName = "PC7",
                                     const StationPorts &ports = TestStationPorts());
// The same station started again over the store of the one before, which ends first, as a
// desk's station does at a restart; its keys go on as the store has them.
std::unique_ptr<Tdm> RestartTestStation(std::unique_ptr<Tdm> &dm,
                                        MessageBoxes &boxes,
                                        const QByteArray &computerName = "PC7",
                                        const StationPorts &ports = TestStationPorts());
