#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

// Lets a window paint no more often than a screen refreshes. Every change to a widget asks its
// window for a repaint; while messages keep arriving that would be one repaint of the whole
// changed area per message, and the next message would wait behind it. A repaint asked for
// within a frame of the last one is held back to the end of that frame, where it paints
// everything that changed meanwhile at once.
class PaintPacer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFrameMilliseconds = 16;

    explicit PaintPacer(QWidget *window);

Q_SIGNALS:
    // Just before the window paints: whatever was held back for the frame is shown now, so
    // that the painted window is whole.
    void aboutToPaint();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_window;
    QElapsedTimer m_sinceLastPaint;
    QTimer m_heldBack;
};
