// The text rules the components share: trimming and the case folding of comparisons.
// Both work on bytes; neither knows a code page.
#pragma once

#include <string>

namespace nolt {

// A byte that trimming removes: 0x00 to 0x20.
inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }
// A control byte: 0x00 to 0x1F, and 0x7F.
inline bool IsControlByte(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }
// True when text holds a control byte, NUL and line breaks included: "a\r\nb" -> true.
bool HoldsControlByte(const std::string& text);
// s without its leading and trailing blanks: " \t a b \r\n" -> "a b".
std::string Trim(const std::string& s);
// Only the letters A to Z change case: "Ab.cD-ä" -> "AB.CD-ä".
std::string UpperCaseAscii(std::string s);
std::string LowerCaseAscii(std::string s);

}  // namespace nolt
