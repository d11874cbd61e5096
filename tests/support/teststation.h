#pragma once

#include "rawpeer.h"
#include "recordingboxes.h"
#include "stationsettings.h"

#include "core/udm.h"

#include <QByteArray>

#include <memory>
#include <vector>

// What a station announces, in the order it does.
class StationRecord : public QObject
{
    Q_OBJECT

public:
    enum class Kind { Queued, Received, Confirmed, GivenUp };
    struct Event
    {
        Kind kind;
        QByteArray key;
    };

    explicit StationRecord(Tdm &dm);

    int count(Kind kind) const;

    std::vector<Event> events;
    std::vector<QByteArray> statusLines;
};

// The station under test: settings written for it (its port, IDENT=Recepce, then whatever the
// test adds), its clock stopped so that the test drives each tick, its keys counted from 1, and
// a record of what it announces.
struct TestStation
{
    explicit TestStation(const QByteArray &extraSettings = {},
                         quint16 port = kTestStationPort,
                         const QByteArray &computerName = "PC7",
                         const StationPorts &ports = TestStationPorts());

    int count(StationRecord::Kind kind) const { return record->count(kind); }
    const std::vector<QByteArray> &statusLines() const { return record->statusLines; }

    // Ends the station and starts it again over the same store and settings, with a new record.
    void restart();

    void ticks(int count);
    // Up to and including the tick whose counter is tick.
    void ticksUntil(int tick);

    RecordingBoxes boxes;
    QByteArray computerName;
    StationPorts ports;
    std::unique_ptr<Tdm> dm;
    std::unique_ptr<StationRecord> record;
};
