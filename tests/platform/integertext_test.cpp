#include "platform/integertext.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

std::optional<qint32> Parse(const char *text, IntegerSyntax syntax = {})
{
    return ParseIntegerText(QByteArrayView(text), syntax);
}

} // namespace

TEST(IntegerText, ReadsSignedDecimal)
{
    EXPECT_EQ(Parse("0"), 0);
    EXPECT_EQ(Parse("42"), 42);
    EXPECT_EQ(Parse("+42"), 42);
    EXPECT_EQ(Parse("-42"), -42);
    EXPECT_EQ(Parse("000000000000042"), 42);
}

TEST(IntegerText, ReadsHexadecimalAfterEachPrefix)
{
    EXPECT_EQ(Parse("0x1F"), 31);
    EXPECT_EQ(Parse("0X1f"), 31);
    EXPECT_EQ(Parse("$1f"), 31);
    EXPECT_EQ(Parse("-0x10"), -16);
    EXPECT_EQ(Parse("+$10"), 16);
}

TEST(IntegerText, BareXOpensHexadecimalOnlyWhenAsked)
{
    EXPECT_EQ(Parse("x1F"), std::nullopt);
    EXPECT_EQ(Parse("X1F"), std::nullopt);

    IntegerSyntax syntax;
    syntax.bareX = true;
    EXPECT_EQ(Parse("x1F", syntax), 31);
    EXPECT_EQ(Parse("-X10", syntax), -16);
    EXPECT_EQ(Parse("0x1F", syntax), 31);
}

TEST(IntegerText, LeadingBlanksSkippedOnlyWhenAsked)
{
    EXPECT_EQ(Parse("  42"), std::nullopt);

    IntegerSyntax syntax;
    syntax.leadingBlanks = true;
    EXPECT_EQ(Parse("  42", syntax), 42);
    EXPECT_EQ(Parse("   -0x10", syntax), -16);
    EXPECT_EQ(Parse("42  ", syntax), std::nullopt);
    EXPECT_EQ(Parse("- 42", syntax), std::nullopt);
}

TEST(IntegerText, DecimalMustFitSigned32Bits)
{
    EXPECT_EQ(Parse("2147483647"), std::numeric_limits<qint32>::max());
    EXPECT_EQ(Parse("2147483648"), std::nullopt);
    EXPECT_EQ(Parse("-2147483648"), std::numeric_limits<qint32>::min());
    EXPECT_EQ(Parse("-2147483649"), std::nullopt);
    EXPECT_EQ(Parse("99999999999999999999"), std::nullopt);
}

TEST(IntegerText, HexadecimalMayFillAll32Bits)
{
    EXPECT_EQ(Parse("0xFFFFFFFF"), -1);
    EXPECT_EQ(Parse("$80000000"), std::numeric_limits<qint32>::min());
    EXPECT_EQ(Parse("0x7FFFFFFF"), std::numeric_limits<qint32>::max());
    EXPECT_EQ(Parse("0x100000000"), std::nullopt);
}

TEST(IntegerText, RejectsWhatIsNoInteger)
{
    for (const char *text : {"", "-", "+", "$", "0x", "-$", "12a", "1 2", "0xG", "$-1", "1.5"})
        EXPECT_EQ(Parse(text), std::nullopt) << '"' << text << '"';
}
