#include "codepage.h"

#include <array>

namespace {

// The upper half of Windows-1250; the lower half is ASCII. The five bytes the code page leaves
// undefined (0x81, 0x83, 0x88, 0x90, 0x98) stand for the control characters of the same number,
// as in the converters the stations on the network use, so every byte survives a round trip.
// The table replaces a general converter: opening one for each text cost more than the window's
// drawing of it, and its data was a megabyte of the window's memory.
constexpr std::array<char16_t, 128> kUpperHalf = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 0x98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // 0xA0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // 0xA8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // 0xB8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // 0xC0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // 0xC8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // 0xD0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // 0xD8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // 0xE0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // 0xE8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // 0xF0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // 0xF8
};

constexpr char16_t kHighestMapped = 0x2122; // the trade mark sign at 0x99

// Unicode to byte for everything up to kHighestMapped; 0 where the code page has no byte
// (the NUL character itself is ASCII and handled before the table).
struct EncodeTable
{
    EncodeTable()
    {
        bytes.fill(0);
        for (std::size_t i = 0; i < kUpperHalf.size(); ++i)
            bytes[kUpperHalf[i]] = static_cast<unsigned char>(0x80 + i);
    }

    std::array<unsigned char, kHighestMapped + 1> bytes;
};

// The byte of one UTF-16 unit, or 0 when the code page has none (surrogates included).
unsigned char ByteOf(char16_t unit)
{
    if (unit < 0x80)
        return static_cast<unsigned char>(unit);
    static const EncodeTable table;
    return unit <= kHighestMapped ? table.bytes[unit] : 0;
}

} // namespace

QString DecodeWindows1250(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        *out++ = QChar(value < 0x80 ? char16_t(value) : kUpperHalf[value - 0x80]);
    }
    return text;
}

QByteArray EncodeWindows1250(QStringView text)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    qsizetype length = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        const unsigned char byte = ByteOf(unit);
        if (byte != 0 || unit == 0) {
            bytes[length++] = static_cast<char>(byte);
            continue;
        }
        // A character the code page cannot hold becomes one "?", a surrogate pair included:
        // nothing is silently dropped, and the control SUB a converter would put there never
        // reaches a peer.
        bytes[length++] = '?';
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
    }
    bytes.truncate(length);
    return bytes;
}

bool IsWindows1250Text(QStringView text)
{
    for (const QChar character : text) {
        if (ByteOf(character.unicode()) == 0 && !character.isNull())
            return false;
    }
    return true;
}

QByteArray PathToWindows1250(const QString &path)
{
    return EncodeWindows1250(path);
}
