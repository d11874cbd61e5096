#include "codepage.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace {

constexpr const char kCodePage[] = "windows-1250";

} // namespace

// The code page maps every byte to one character of its own, so a table of the 256 made once
// decodes exactly as the converter does; opening the converter for every text cost more than
// the window's drawing of it.
struct DecodeTable
{
    DecodeTable()
    {
        QStringDecoder decoder(kCodePage, QStringConverter::Flag::Stateless);
        for (int byte = 0; byte < 256 && complete; ++byte) {
            const char single = char(byte);
            const QString character = decoder.decode(QByteArrayView(&single, 1));
            complete = character.size() == 1;
            if (complete)
                characters[byte] = character.front();
        }
    }

    QChar characters[256];
    bool complete = true;
};

QString DecodeWindows1250(QByteArrayView bytes)
{
    static const DecodeTable table;
    if (!table.complete) {
        QStringDecoder decoder(kCodePage, QStringConverter::Flag::Stateless);
        return decoder.decode(bytes);
    }
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char byte : bytes)
        *out++ = table.characters[static_cast<unsigned char>(byte)];
    return text;
}

QByteArray EncodeWindows1250(QStringView text)
{
    QStringEncoder encoder(kCodePage, QStringConverter::Flag::Stateless);
    QByteArray bytes = encoder.encode(text);
    if (!encoder.hasError())
        return bytes;
    bytes.clear();
    // Encode one character (or surrogate pair) at a time: the converter's own replacement for
    // an unmappable character is the control SUB (0x1A), which must never reach a peer. A
    // converter stays in error once it has met one, so each character gets a fresh one.
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype length = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            length = 2;
        QStringEncoder single(kCodePage, QStringConverter::Flag::Stateless);
        const QByteArray encoded = single.encode(text.mid(i, length));
        bytes.append(single.hasError() || encoded.size() != 1 ? QByteArray("?") : encoded);
        i += length - 1;
    }
    return bytes;
}

bool IsWindows1250Text(QStringView text)
{
    QStringEncoder encoder(kCodePage, QStringConverter::Flag::Stateless);
    const QByteArray encoded = encoder.encode(text);
    return !encoder.hasError() && encoded.size() == text.size();
}

QByteArray PathToWindows1250(const QString &path)
{
    return EncodeWindows1250(path);
}
