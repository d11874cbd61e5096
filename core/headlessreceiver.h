#pragma once

#include "outboundqueuemodel.h"

#include <QByteArray>
#include <QObject>

#include <deque>
#include <functional>
#include <vector>

class Tdm;
class StationEvent;

// Receives the core's notifications where no window exists, and does to the core's lists what
// the window does: removes confirmed and given-up entries together with their queue rows, trims
// the received keys, adds a queue row per queued entry (the rows are the core's queue model, the
// one the window shows). Every status line it would show goes to the line sink, and every
// notification to the event sink, in the order of handling.
class HeadlessReceiver : public QObject
{
    Q_OBJECT

public:
    using QueueRow = OutboundQueueModel::Row;

    using LineSink = std::function<void(const QByteArray &line)>;
    using EventSink = std::function<void(const StationEvent &event, int currentPosition)>;

    explicit HeadlessReceiver(Tdm &dm, QObject *parent = nullptr);

    void setStatusLineSink(LineSink sink) { m_statusLine = std::move(sink); }
    void setEventSink(EventSink sink) { m_eventSink = std::move(sink); }

    const OutboundQueueModel &queueModel() const;
    const std::vector<QueueRow> &queueRows() const { return queueModel().rows(); }
    // The latest status lines, at most Tdm::kStatusLinesKept, oldest first.
    std::vector<QByteArray> statusLines() const
    {
        return {m_statusLines.begin(), m_statusLines.end()};
    }

protected:
    bool event(QEvent *event) override;

private:
    void handle(const StationEvent &event);
    void addStatusLine(const QByteArray &line);

    Tdm &m_dm;
    LineSink m_statusLine;
    EventSink m_eventSink;
    std::deque<QByteArray> m_statusLines;
};
