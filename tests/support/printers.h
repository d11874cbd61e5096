#pragma once

#include <QByteArray>
#include <QString>

#include <ostream>

// Readable failure messages: byte strings as escaped text instead of gtest's byte dumps.
inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            *out << '\\' << c;
        else if (byte >= 0x20 && byte < 0x7F)
            *out << c;
        else {
            static const char digits[] = "0123456789ABCDEF";
            *out << "\\x" << digits[byte >> 4] << digits[byte & 0xF];
        }
    }
    *out << '"';
}

inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
