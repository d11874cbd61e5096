#include "paintpacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

PaintPacer::PaintPacer(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    m_heldBack.setSingleShot(true);
    m_heldBack.setTimerType(Qt::PreciseTimer);
    // The toolkit asks for no further repaint while its request is outstanding, so the request
    // held back is asked again here; it then finds a frame gone by and goes through.
    connect(&m_heldBack, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(
                m_window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });
    m_window->installEventFilter(this);
}

bool PaintPacer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest)
        return false;
    const qint64 since
            = m_sinceLastPaint.isValid() ? m_sinceLastPaint.elapsed() : qint64(kFrameMilliseconds);
    if (since >= kFrameMilliseconds) {
        m_heldBack.stop();
        m_sinceLastPaint.start();
        Q_EMIT aboutToPaint();
        return false;
    }
    if (!m_heldBack.isActive())
        m_heldBack.start(int(kFrameMilliseconds - since));
    return true;
}
