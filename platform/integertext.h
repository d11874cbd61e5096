#pragma once

#include <QByteArrayView>

#include <optional>

// Integers as people and the old profile files write them: an optional sign, then decimal
// digits, or hexadecimal digits after "$", "0x" or "0X".
struct IntegerSyntax
{
    bool leadingBlanks = false; // blanks before the sign are skipped
    bool bareX = false;         // "x" and "X" alone also open hexadecimal digits
};

// The value, or nothing when the text is not an integer of that syntax or does not fit in 32
// bits. Hexadecimal digits may fill all 32 bits (0xFFFFFFFF is -1), decimal ones must fit in a
// signed 32-bit number.
std::optional<qint32> ParseIntegerText(QByteArrayView text, IntegerSyntax syntax = {});
