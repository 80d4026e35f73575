#pragma once

#include <string>
#include <string_view>

// Conversions between the program's 8-bit strings and what an XML 1.0 document can hold.
namespace xmltext {

// Values are arbitrary bytes (Linux paths may hold any), but a well-formed XML file holds
// only valid UTF-8 without most control characters, and parsers turn a raw CR into LF.
// Each byte that cannot be written as itself becomes the private-use character
// U+F700 + byte. Escaped are: bytes outside valid UTF-8, C0 controls except TAB and LF,
// CR, U+FFFE and U+FFFF, and U+F700..U+F7FF themselves (byte by byte), so that decoding
// (every U+F7xx back to byte xx) is exact. Everything else, ASCII and valid UTF-8 alike,
// is written as itself.
std::string EncodeValue(std::string_view strValue);
std::string DecodeValue(std::string_view strText);

// True when strName can be written as an element name (XML Name without a colon, so that
// it is also a name without namespace prefix, the only form a lookup can match).
bool IsElementName(std::string_view strName);

// The part of an element name after its namespace prefix.
std::string_view LocalName(std::string_view strName);

// Reads like atoi (leading white space, optional sign, digits up to the first non-digit,
// 0 when there are none), but saturates at INT_MIN/INT_MAX instead of overflowing.
int ParseDecimal(std::string_view strText);

}  // namespace xmltext
