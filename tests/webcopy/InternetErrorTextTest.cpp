// The texts of WinINet error numbers.
#include <gtest/gtest.h>

#include "webcopy/Helpers.h"

#include "platform/InternetErrors.h"

namespace nolt {
namespace {

TEST(InternetErrorText, GivesTheLibrarysMessageWithItsLineBreak) {
  for (std::uint32_t code : {12002u, 12007u, 12029u}) {
    const std::string text = InternetErrorText(code);
    ASSERT_GE(text.size(), 3u) << code;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
    EXPECT_LT(text.size(), 256u);
  }
#ifndef _WIN32
  EXPECT_EQ(InternetErrorText(12002), "The operation timed out\r\n");
  EXPECT_EQ(InternetErrorText(12007), "The server name or address could not be resolved\r\n");
  EXPECT_EQ(InternetErrorText(12029), "A connection with the server could not be established\r\n");
#endif
}

TEST(InternetErrorText, IsEmptyForNumbersTheLibraryDoesNotKnow) {
  EXPECT_EQ(InternetErrorText(0), "");
  EXPECT_EQ(InternetErrorText(12999), "");
  EXPECT_EQ(InternetErrorText(99999), "");
  EXPECT_EQ(InternetErrorText(0xFFFFFFFFu), "");
}

// Every text of the table reads like a formatted system message.
TEST(InternetErrorMessages, AreSingleLinesEndingInCrLf) {
  int known = 0;
  for (std::uint32_t code = 12000; code < 12200; ++code) {
    const std::string text = plat::InternetErrorMessage(code);
    if (text.empty()) continue;
    ++known;
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << code;
    EXPECT_EQ(text.find_first_of("\r\n"), text.size() - 2) << code;
    EXPECT_NE(text[text.size() - 3], '.') << code;
    EXPECT_LT(text.size(), 256u) << code;
  }
  // The numbers that the libcurl stand-in reports are all there.
  for (std::uint32_t code : {12002u, 12003u, 12004u, 12005u, 12006u, 12007u, 12015u, 12017u, 12018u, 12029u,
                             12030u, 12031u, 12110u, 12111u, 12150u, 12152u})
    EXPECT_FALSE(plat::InternetErrorMessage(code).empty()) << code;
  EXPECT_GE(known, 70);
  EXPECT_EQ(plat::InternetErrorMessage(12035), "");
}

// Every number a transfer can report comes with words of its own, on both targets:
// the WinINet numbers for which the loaded library has no text (Wine's lacks some),
// and the system's numbers that the seams report.
TEST(FailureText, EveryNumberATransferReportsHasWords) {
  for (std::uint32_t code : {12002u, 12003u, 12005u, 12007u, 12013u, 12014u, 12029u, 12030u, 12031u, 12110u, 12152u,
                             12153u, 12157u, 2u, 3u, 5u, 6u, 8u, 32u, 87u, 112u, 122u, 123u, 223u}) {
    const std::string text = FailureText(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find("System error"), std::string::npos) << code << ": " << text;
  }
}

}  // namespace
}  // namespace nolt
