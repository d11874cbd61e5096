#pragma once

#include <QByteArray>
#include <QChar>

// Every datagram of the station goes to this port of the partner, whatever port the station
// itself listens on.
inline constexpr quint16 kStationPort = 34888;

// A receiver looks at no more than this many bytes of a datagram.
inline constexpr qsizetype kMaxDatagramText = 512;

enum class DatagramKind { Ignored, Message, Confirmation };

// The text of a received datagram: its first 512 bytes at most, up to the first zero byte.
QByteArray DatagramText(const QByteArray &datagram);
// "=" opens a message, "#" a confirmation; an empty text or any other first byte is ignored.
DatagramKind KindOfDatagram(const QByteArray &text);

// computer name + "~" + row ID in decimal.
QByteArray MakeMessageKey(const QByteArray &computerName, qint64 rowId);
// "=" key "|" ident "|" body, with no escaping of any kind.
QByteArray
BuildMessageDatagram(const QByteArray &key, const QByteArray &ident, const QByteArray &body);
// "#" key, the key's bytes exactly as received.
QByteArray BuildConfirmationDatagram(const QByteArray &key);

// The three fields of a datagram's text (kind byte included). Only the first two "|" separate
// fields, and a "|" right after the previous cut is no cut point, so a text with missing
// separators still yields a field from what is there.
QByteArray ParseKey(const QByteArray &text);
QByteArray ParseIdent(const QByteArray &text);
QByteArray ParseBody(const QByteArray &text);

// The characters that mean something in datagrams, keys and partner texts are replaced as they
// are typed: "<" and ">" by "/", "|" by "\", "~" by "-".
char FilterReservedChar(char typed);
QChar FilterReservedChar(QChar typed);
