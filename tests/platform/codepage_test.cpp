#include "platform/codepage.h"

#include "support/printers.h"

#include <gtest/gtest.h>

#include <QStringDecoder>
#include <QStringEncoder>

namespace {

const QString kCzechText = QStringLiteral("Přečtená zpráva – Žluťoučký kůň");

} // namespace

TEST(CodePage, CzechTextRoundTrips)
{
    const QByteArray bytes = EncodeWindows1250(kCzechText);

    EXPECT_EQ(bytes.size(), kCzechText.size());
    EXPECT_EQ(DecodeWindows1250(bytes), kCzechText);
    EXPECT_TRUE(IsWindows1250Text(kCzechText));
}

TEST(CodePage, CzechLettersHaveTheirWindows1250Bytes)
{
    EXPECT_EQ(EncodeWindows1250(QStringLiteral("řč")), QByteArray("\xF8\xE8"));
    EXPECT_EQ(EncodeWindows1250(QStringLiteral("–")), QByteArray("\x96"));
    EXPECT_EQ(EncodeWindows1250(QStringLiteral("Žť")), QByteArray("\x8E\x9D"));
    EXPECT_EQ(DecodeWindows1250("k\xF9\xF2"), QStringLiteral("kůň"));
}

TEST(CodePage, EveryByteDecodesAsTheConverterDecodesIt)
{
    QByteArray everyByte;
    for (int byte = 0; byte < 256; ++byte)
        everyByte.append(char(byte));
    QStringDecoder decoder("windows-1250", QStringConverter::Flag::Stateless);
    const QString expected = decoder.decode(everyByte);

    EXPECT_EQ(DecodeWindows1250(everyByte), expected);
    EXPECT_EQ(DecodeWindows1250(everyByte.mid(128, 16)), expected.mid(128, 16));
    EXPECT_EQ(DecodeWindows1250(QByteArray()), QString());
}

// The station's own table must give the peers exactly the bytes the general converter gave.
TEST(CodePage, EveryCharacterEncodesAsTheConverterEncodesIt)
{
    int differing = 0;
    for (int unit = 0; unit <= 0xFFFF; ++unit) {
        const QChar character{char16_t(unit)};
        const QStringView one(&character, 1);
        QStringEncoder encoder("windows-1250", QStringConverter::Flag::Stateless);
        const QByteArray converted = encoder.encode(one);
        const bool representable = !encoder.hasError() && converted.size() == 1;
        const QByteArray expected = representable ? converted : QByteArray("?");
        if (EncodeWindows1250(one) != expected || IsWindows1250Text(one) != representable) {
            ADD_FAILURE() << "U+" << QByteArray::number(unit, 16).toStdString();
            if (++differing == 10)
                break;
        }
    }
}

TEST(CodePage, CharacterOutsideTheCodePageBecomesQuestionMark)
{
    const QString smiley = QStringLiteral("a\u263Ab");

    EXPECT_EQ(EncodeWindows1250(smiley), QByteArray("a?b"));
    EXPECT_FALSE(IsWindows1250Text(smiley));
}

TEST(CodePage, SurrogatePairBecomesOneQuestionMark)
{
    const QString emoji = QStringLiteral("ř") + QString::fromUcs4(U"\U0001F600") + u'x';

    EXPECT_EQ(EncodeWindows1250(emoji), QByteArray("\xF8?x"));
    EXPECT_FALSE(IsWindows1250Text(emoji));
}

TEST(CodePage, PathIsShownInTheCodePage)
{
    EXPECT_EQ(PathToWindows1250(QStringLiteral("/home/novák/zprávy.ini")),
              QByteArray("/home/nov\xE1k/zpr\xE1vy.ini"));
}
