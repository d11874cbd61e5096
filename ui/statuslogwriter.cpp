#include "statuslogwriter.h"

#include <QPlainTextEdit>

StatusLogWriter::StatusLogWriter(QPlainTextEdit *log, int linesKept)
    : QObject(log)
    , m_log(log)
    , m_linesKept(linesKept)
{
    m_frame.setSingleShot(true);
    m_frame.setInterval(kFrameMilliseconds);
    connect(&m_frame, &QTimer::timeout, this, [this] { flush(); });
}

void StatusLogWriter::append(const QString &line)
{
    m_pending.append(line);
    // Lines the log would drop at once need not wait in memory either.
    if (m_linesKept > 0 && m_pending.size() > m_linesKept)
        m_pending.remove(0, m_pending.size() - m_linesKept);
    if (!m_frame.isActive())
        m_frame.start();
}

void StatusLogWriter::flush()
{
    m_frame.stop();
    if (m_pending.isEmpty())
        return;
    // One paragraph per line, as separate appends would give: a line break in the joined text
    // starts a new block, and so does one inside a line, either way.
    const QString text = m_pending.join(QLatin1Char('\n'));
    m_pending.clear();
    m_log->appendPlainText(text);
}
