#include "teststation.h"

#include <algorithm>

StationRecord::StationRecord(Tdm &dm)
{
    const auto follow = [this, &dm](auto signal, Kind kind) {
        connect(&dm, signal, this, [this, kind](const TMessageQueueItem &entry) {
            events.push_back({kind, entry.Key});
        });
    };
    follow(&Tdm::messageQueued, Kind::Queued);
    follow(&Tdm::messageReceived, Kind::Received);
    follow(&Tdm::messageConfirmed, Kind::Confirmed);
    follow(&Tdm::messageGivenUp, Kind::GivenUp);
    connect(&dm, &Tdm::statusLine, this, [this](const QByteArray &line) {
        statusLines.push_back(line);
    });
}

int StationRecord::count(Kind kind) const
{
    return int(std::count_if(
            events.begin(), events.end(), [kind](const Event &e) { return e.kind == kind; }));
}

TestStation::TestStation(const QByteArray &extraSettings,
                         quint16 port,
                         const QByteArray &computerName,
                         const StationPorts &ports)
    : computerName(computerName)
    , ports(ports)
{
    UseSettings("[TCPIP]\r\nPORT=" + QByteArray::number(port) + "\r\nIDENT=Recepce\r\n"
                + extraSettings);
    dm = MakeTestStation(boxes, computerName, ports);
    record = std::make_unique<StationRecord>(*dm);
}

void TestStation::restart()
{
    record.reset();
    dm = RestartTestStation(dm, boxes, computerName, ports);
    record = std::make_unique<StationRecord>(*dm);
}

void TestStation::ticks(int count)
{
    for (int i = 0; i < count; ++i)
        dm->timTimer();
}

void TestStation::ticksUntil(int tick)
{
    while (dm->sendTick() < tick)
        dm->timTimer();
}
