#include "protocol.h"

namespace {

// Removes everything up to and including the first "|", when the text has one.
QByteArray AfterFirstBar(const QByteArray &text)
{
    const qsizetype bar = text.indexOf('|');
    return bar < 0 ? text : text.mid(bar + 1);
}

// The text before the first "|" when that "|" is not the first character; otherwise all of it.
QByteArray UpToCutPoint(const QByteArray &text)
{
    const qsizetype bar = text.indexOf('|');
    return bar >= 1 ? text.left(bar) : text;
}

} // namespace

QByteArray DatagramText(const QByteArray &datagram)
{
    const QByteArray read = datagram.left(kMaxDatagramText);
    const qsizetype zero = read.indexOf('\0');
    return zero < 0 ? read : read.left(zero);
}

DatagramKind KindOfDatagram(const QByteArray &text)
{
    if (text.startsWith('='))
        return DatagramKind::Message;
    if (text.startsWith('#'))
        return DatagramKind::Confirmation;
    return DatagramKind::Ignored;
}

QByteArray MakeMessageKey(const QByteArray &computerName, qint64 rowId)
{
    return computerName + '~' + QByteArray::number(rowId);
}

QByteArray
BuildMessageDatagram(const QByteArray &key, const QByteArray &ident, const QByteArray &body)
{
    return '=' + key + '|' + ident + '|' + body;
}

QByteArray BuildConfirmationDatagram(const QByteArray &key)
{
    return '#' + key;
}

QByteArray ParseKey(const QByteArray &text)
{
    return UpToCutPoint(text.mid(1));
}

QByteArray ParseIdent(const QByteArray &text)
{
    return UpToCutPoint(AfterFirstBar(text.mid(1)));
}

QByteArray ParseBody(const QByteArray &text)
{
    const QByteArray afterKey = AfterFirstBar(text.mid(1));
    const qsizetype bar = afterKey.indexOf('|');
    return bar >= 1 ? afterKey.mid(bar + 1) : afterKey;
}

char FilterReservedChar(char typed)
{
    switch (typed) {
    case '<':
    case '>':
        return '/';
    case '|':
        return '\\';
    case '~':
        return '-';
    default:
        return typed;
    }
}

QChar FilterReservedChar(QChar typed)
{
    if (typed.unicode() > 0x7F)
        return typed;
    return QChar::fromLatin1(FilterReservedChar(typed.toLatin1()));
}
