#pragma once

#include "platform/messageboxes.h"

#include <functional>
#include <vector>

// Keeps every text that would have been put in front of the user, in order.
class RecordingBoxes : public MessageBoxes
{
public:
    void error(const QByteArray &text) override
    {
        errors.push_back(text);
        if (whileShown)
            whileShown();
    }
    void warning(const QByteArray &text) override
    {
        warnings.push_back(text);
        if (whileShown)
            whileShown();
    }

    std::vector<QByteArray> errors;
    std::vector<QByteArray> warnings;
    // What happens while a real box is up, such as the events its own loop would run.
    std::function<void()> whileShown;
};
