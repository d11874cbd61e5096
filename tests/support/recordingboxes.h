#pragma once

#include "platform/messageboxes.h"

#include <vector>

// Keeps every text that would have been put in front of the user, in order.
class RecordingBoxes : public MessageBoxes
{
public:
    void error(const QByteArray &text) override { errors.push_back(text); }
    void warning(const QByteArray &text) override { warnings.push_back(text); }

    std::vector<QByteArray> errors;
    std::vector<QByteArray> warnings;
};
