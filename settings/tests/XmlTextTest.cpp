#include "XmlText.h"

#include <gtest/gtest.h>
#include <climits>

namespace {

TEST(XmlTextTest, ParseDecimalReadsLikeAtoi) {
    EXPECT_EQ(xmltext::ParseDecimal("42"), 42);
    EXPECT_EQ(xmltext::ParseDecimal(" \t\n\v\f\r-17xyz"), -17);
    EXPECT_EQ(xmltext::ParseDecimal("+3"), 3);
    EXPECT_EQ(xmltext::ParseDecimal("- 3"), 0);
    EXPECT_EQ(xmltext::ParseDecimal("abc"), 0);
    EXPECT_EQ(xmltext::ParseDecimal(""), 0);
    EXPECT_EQ(xmltext::ParseDecimal("0x1F"), 0);
    EXPECT_EQ(xmltext::ParseDecimal("007"), 7);
}

TEST(XmlTextTest, ParseDecimalSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(xmltext::ParseDecimal("2147483647"), INT_MAX);
    EXPECT_EQ(xmltext::ParseDecimal("-2147483648"), INT_MIN);
    EXPECT_EQ(xmltext::ParseDecimal("2147483648"), INT_MAX);
    EXPECT_EQ(xmltext::ParseDecimal("-2147483649"), INT_MIN);
    EXPECT_EQ(xmltext::ParseDecimal("99999999999999999999999999"), INT_MAX);
    EXPECT_EQ(xmltext::ParseDecimal("-99999999999999999999999999"), INT_MIN);
}

TEST(XmlTextTest, EncodingEscapesOnlyWhatXmlCannotHold) {
    EXPECT_EQ(xmltext::EncodeValue("plain ASCII ~!"), "plain ASCII ~!");
    EXPECT_EQ(xmltext::EncodeValue("\xC3\xBC\xE4\xB8\xAD\xF0\x9F\x98\x80"),
              "\xC3\xBC\xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(xmltext::EncodeValue("\t\n"), "\t\n");
    EXPECT_EQ(xmltext::EncodeValue(std::string("\0", 1)), "\xEF\x9C\x80");
    EXPECT_EQ(xmltext::EncodeValue("\r"), "\xEF\x9C\x8D");
    EXPECT_EQ(xmltext::EncodeValue("\xFF"), "\xEF\x9F\xBF");
    EXPECT_EQ(xmltext::DecodeValue("a\xEF\x9C\x80"
                                   "b\xEF\x9F\xBF"),
              std::string("a\0b\xFF", 4));
}

TEST(XmlTextTest, ElementNames) {
    for (const char* szGood : {"Main", "COM-Port", "Hex-File", "_x", "a.b-1", "\xC3\xBCx"})
        EXPECT_TRUE(xmltext::IsElementName(szGood)) << szGood;
    for (const char* szBad : {"", "-a", "1a", "a:b", "a b", "a/", "\xC3", "\xC2\xB7x"})
        EXPECT_FALSE(xmltext::IsElementName(szBad)) << szBad;
    EXPECT_EQ(xmltext::LocalName("p:Main"), "Main");
    EXPECT_EQ(xmltext::LocalName("Main"), "Main");
}

}  // namespace
