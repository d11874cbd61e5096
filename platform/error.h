#pragma once

#include <QByteArray>

#include <stdexcept>

// Every failure inside the station is an exception carrying a text for the user. The text is in
// the station's single-byte code page, like every other text below the user interface; each
// operation catches it at its own edge and decides how to show it.
class Error : public std::runtime_error
{
public:
    explicit Error(const QByteArray &text)
        : std::runtime_error(text.toStdString())
    {}

    QByteArray text() const { return QByteArray(what()); }
};

// The text to show for any exception: an Error's own text, or what() of the others.
inline QByteArray ErrorTextOf(const std::exception &error)
{
    if (const auto *known = dynamic_cast<const Error *>(&error))
        return known->text();
    return QByteArray(error.what());
}
