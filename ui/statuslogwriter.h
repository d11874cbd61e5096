#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

class QPlainTextEdit;

// Writes lines into the window's status log at most once a frame: lines that come while a
// flood of messages keeps the station busy are gathered and appended in one edit, in their
// order, so the log is laid out and painted once per frame and not once per line. Only the
// lines the log keeps are held back meanwhile.
class StatusLogWriter : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFrameMilliseconds = 16;

    StatusLogWriter(QPlainTextEdit *log, int linesKept);

    void append(const QString &line);
    // Appends what is held back now.
    void flush();
    bool hasPending() const { return !m_pending.isEmpty(); }

private:
    QPlainTextEdit *m_log;
    int m_linesKept;
    QStringList m_pending;
    QTimer m_frame;
};
