#include "integertext.h"

namespace {

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<qint32> ParseIntegerText(QByteArrayView text, IntegerSyntax syntax)
{
    qsizetype pos = 0;
    if (syntax.leadingBlanks) {
        while (pos < text.size() && text[pos] == ' ')
            ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    int base = 10;
    const QByteArrayView rest = text.sliced(pos);
    if (rest.startsWith("$")) {
        base = 16;
        pos += 1;
    } else if (rest.startsWith("0x") || rest.startsWith("0X")) {
        base = 16;
        pos += 2;
    } else if (syntax.bareX && (rest.startsWith("x") || rest.startsWith("X"))) {
        base = 16;
        pos += 1;
    }
    if (pos >= text.size())
        return std::nullopt;

    const quint64 limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    quint64 value = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = DigitValue(text[pos]);
        if (digit < 0 || digit >= base)
            return std::nullopt;
        value = value * base + digit;
        if (value > limit)
            return std::nullopt;
    }
    const auto bits = static_cast<quint32>(value);
    const auto magnitude = static_cast<qint32>(bits);
    return negative ? static_cast<qint32>(0u - bits) : magnitude;
}
