#include "XmlText.h"

#include <gtest/gtest.h>
#include <climits>

namespace {

TEST(XmlTextTest, ParseDecimalReadsLikeAtoiButSaturates) {
    for (const auto& [szText, nValue] : {std::pair{"42", 42},
                                         {" \t\n\v\f\r-17xyz", -17},
                                         {"+3", 3},
                                         {"- 3", 0},
                                         {"abc", 0},
                                         {"", 0},
                                         {"0x1F", 0},
                                         {"007", 7},
                                         {"2147483647", INT_MAX},
                                         {"-2147483648", INT_MIN},
                                         {"2147483648", INT_MAX},
                                         {"-2147483649", INT_MIN},
                                         {"99999999999999999999999999", INT_MAX},
                                         {"-99999999999999999999999999", INT_MIN}})
        EXPECT_EQ(xmltext::ParseDecimal(szText), nValue) << szText;
}

}  // namespace
