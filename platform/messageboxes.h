#pragma once

#include <QByteArray>

// How code below the user interface puts a text in front of the user. The windows show message
// boxes; the headless station and the tests record or print the texts.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;

    // An error box with a single Cancel button.
    virtual void error(const QByteArray &text) = 0;
    // A warning box with a single Cancel button.
    virtual void warning(const QByteArray &text) = 0;
};
