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

// A station under test on the settings in use: its clock stopped, so that the test drives each
// tick, and its keys counted from 1, which read better in the cases than the clock's digits.
std::unique_ptr<Tdm> MakeTestStation(MessageBoxes &boxes,
                                     const QByteArray &computerName = "PC7",
                                     const StationPorts &ports = TestStationPorts());
