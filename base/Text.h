// The text rules that every floor shares: trimming, the case folding of comparisons
// and percent-encoding. All work on bytes; none knows a code page.
#pragma once

#include <string>
#include <string_view>

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
// True when text begins with prefix, A to Z folded; prefix is given in lower case:
// ("Location: x", "location:") -> true.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// text without its leading and trailing blanks, as a view into it.
std::string_view TrimView(std::string_view text);
// Every byte but A-Z, a-z, 0-9, '-', '.', '_', '~' and '/' as %XX: "a b/ä" -> "a%20b/%C3%A4".
std::string PercentEncodePath(std::string_view text);

}  // namespace nolt
