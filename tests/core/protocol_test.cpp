#include "core/protocol.h"
#include "support/printers.h"

#include <gtest/gtest.h>

namespace {

struct Fields
{
    QByteArray key;
    QByteArray ident;
    QByteArray body;
};

Fields Cut(const QByteArray &text)
{
    return {ParseKey(text), ParseIdent(text), ParseBody(text)};
}

} // namespace

TEST(ParseFields, OnlyTheFirstTwoBarsSeparate)
{
    const Fields f = Cut("=PC7~12|Reception|a|b|c");
    EXPECT_EQ(f.key, QByteArray("PC7~12"));
    EXPECT_EQ(f.ident, QByteArray("Reception"));
    EXPECT_EQ(f.body, QByteArray("a|b|c"));
}

TEST(ParseFields, ABarRightAfterACutIsNoCutPoint)
{
    const Fields emptyIdent = Cut("=PC7~12||Hi");
    EXPECT_EQ(emptyIdent.key, QByteArray("PC7~12"));
    EXPECT_EQ(emptyIdent.ident, QByteArray("|Hi"));
    EXPECT_EQ(emptyIdent.body, QByteArray("|Hi"));

    const Fields leadingBar = Cut("=|x|y");
    EXPECT_EQ(leadingBar.key, QByteArray("|x|y"));
}

TEST(ParseFields, MissingSeparatorsRepeatWhatIsThere)
{
    const Fields oneBar = Cut("=PC7~12|Hi");
    EXPECT_EQ(oneBar.key, QByteArray("PC7~12"));
    EXPECT_EQ(oneBar.ident, QByteArray("Hi"));
    EXPECT_EQ(oneBar.body, QByteArray("Hi"));

    const Fields noBar = Cut("=Hello");
    EXPECT_EQ(noBar.key, QByteArray("Hello"));
    EXPECT_EQ(noBar.ident, QByteArray("Hello"));
    EXPECT_EQ(noBar.body, QByteArray("Hello"));

    EXPECT_EQ(Cut("=").key, QByteArray());
    EXPECT_EQ(Cut("=").body, QByteArray());
}

TEST(ParseFields, ConfirmationsYieldTheirKey)
{
    EXPECT_EQ(ParseKey("#PC7~12"), QByteArray("PC7~12"));
    EXPECT_EQ(ParseKey("#PC7~12|junk"), QByteArray("PC7~12"));
}

TEST(BuildDatagrams, BytesAreTheFieldsWithNothingAdded)
{
    const QByteArray key = MakeMessageKey("PC7", 12);
    EXPECT_EQ(key, QByteArray("PC7~12"));
    EXPECT_EQ(BuildMessageDatagram(key, "Reception", "Hi"), QByteArray("=PC7~12|Reception|Hi"));
    EXPECT_EQ(BuildConfirmationDatagram(key), QByteArray("#PC7~12"));
    // Windows-1250 bytes and line breaks travel as they are, and a built datagram cuts back
    // into the fields it was built from.
    const QByteArray body = "P\xF8"
                            "e\xE8ten\xE1\r\nz|pr\xE1va";
    const QByteArray datagram = BuildMessageDatagram("PC7~1", "", body);
    EXPECT_EQ(datagram, "=PC7~1||" + body);
    const QByteArray withIdent = BuildMessageDatagram("PC7~1", "Recepce", body);
    EXPECT_EQ(ParseBody(withIdent), body);
    EXPECT_EQ(ParseIdent(withIdent), QByteArray("Recepce"));
}

TEST(AcceptDatagram, ReadsAtMost512BytesUpToTheFirstZero)
{
    QByteArray long600(600, 'x');
    long600[0] = '=';
    EXPECT_EQ(DatagramText(long600), long600.left(512));

    QByteArray zeroAt21 = "=PC7~1|ident|body_xx" + QByteArray(1, '\0') + "after";
    ASSERT_EQ(zeroAt21[20], '\0');
    EXPECT_EQ(DatagramText(zeroAt21), zeroAt21.left(20));

    EXPECT_EQ(DatagramText(QByteArray()), QByteArray());
}

TEST(AcceptDatagram, DispatchesOnTheFirstByteOnly)
{
    EXPECT_EQ(KindOfDatagram("=PC7~1|a|b"), DatagramKind::Message);
    EXPECT_EQ(KindOfDatagram("#PC7~1"), DatagramKind::Confirmation);
    EXPECT_EQ(KindOfDatagram("x=PC7~1"), DatagramKind::Ignored);
    EXPECT_EQ(KindOfDatagram(" #PC7~1"), DatagramKind::Ignored);
    EXPECT_EQ(KindOfDatagram(DatagramText(QByteArray("\0#PC7~1", 7))), DatagramKind::Ignored);
    EXPECT_EQ(KindOfDatagram(QByteArray()), DatagramKind::Ignored);
}

TEST(FilterReservedChar, ReplacesTheFourReservedCharacters)
{
    QByteArray typed = "a<b>|c~d";
    for (char &c : typed)
        c = FilterReservedChar(c);
    EXPECT_EQ(typed, QByteArray("a/b/\\c-d"));

    EXPECT_EQ(FilterReservedChar(QChar(u'~')), QChar(u'-'));
    EXPECT_EQ(FilterReservedChar(QChar(u'|')), QChar(u'\\'));
    // Czech letters pass untouched.
    EXPECT_EQ(FilterReservedChar(QChar(u'ř')), QChar(u'ř'));
    EXPECT_EQ(FilterReservedChar('\xF8'), '\xF8');
}
