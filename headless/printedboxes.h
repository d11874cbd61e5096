#pragma once

#include "platform/codepage.h"
#include "platform/messageboxes.h"

#include <cstdio>

// Without windows the boxes become lines on standard error.
class PrintedBoxes : public MessageBoxes
{
public:
    void error(const QByteArray &text) override { print("error", text); }
    void warning(const QByteArray &text) override { print("warning", text); }

private:
    static void print(const char *kind, const QByteArray &text)
    {
        const QByteArray local = DecodeWindows1250(text).toLocal8Bit();
        std::fprintf(stderr, "%s: %s\n", kind, local.constData());
    }
};
