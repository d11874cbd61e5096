#pragma once

#include "support/privatenetwork.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

// The application of a widget test: offscreen, without a session bus, and kept running when its
// last window closes, as the station is.
inline std::unique_ptr<QCoreApplication> MakeWidgetApplication(int &argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The windows under test tell nothing to the desktop of whoever runs the tests.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return app;
}

// Each test runs real windows over a real core, in this process, on loopback.
#define RUN_WINDOW_TEST(...) RUN_ON_LOOPBACK(__VA_ARGS__, MakeWidgetApplication)

// Answers the message boxes that come up with the given button, recording what each asked,
// with which icon and which buttons it offered.
class BoxAnswerer
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer)
        : m_answer(answer)
    {
        m_poll.setInterval(5);
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->button(m_answer))
                return;
            questions.push_back(box->text());
            icons.push_back(box->icon());
            buttons.push_back(box->standardButtons());
            box->button(m_answer)->click();
        });
        m_poll.start();
    }

    std::vector<QString> questions;
    std::vector<QMessageBox::Icon> icons;
    std::vector<QMessageBox::StandardButtons> buttons;

private:
    QMessageBox::StandardButton m_answer;
    QTimer m_poll;
};

// Drives the first modal dialog of class Dialog that comes up, once, from inside the dialog's
// own loop. A dialog still open at the deadline is rejected, so that a test whose drive went
// wrong fails instead of hanging in the modal loop.
template<typename Dialog>
class ModalDriver
{
public:
    explicit ModalDriver(std::function<void(Dialog &)> drive, int deadlineMs = 10000)
        : m_drive(std::move(drive))
        , m_deadlineMs(deadlineMs)
    {
        m_elapsed.start();
        m_poll.setInterval(5);
        QObject::connect(&m_poll, &QTimer::timeout, [this] { poll(); });
        m_poll.start();
    }

    bool driven() const { return m_driven; }
    bool timedOut() const { return m_timedOut; }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!m_driven) {
            if (auto *dialog = dynamic_cast<Dialog *>(modal)) {
                m_driven = true;
                m_drive(*dialog);
                return;
            }
        }
        if (m_elapsed.elapsed() > m_deadlineMs) {
            if (auto *dialog = qobject_cast<QDialog *>(modal)) {
                m_timedOut = true;
                dialog->reject();
            }
        }
    }

    std::function<void(Dialog &)> m_drive;
    int m_deadlineMs;
    QElapsedTimer m_elapsed;
    QTimer m_poll;
    bool m_driven = false;
    bool m_timedOut = false;
};
