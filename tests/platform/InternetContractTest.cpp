#include <gtest/gtest.h>

#include "platform/Internet.h"

using namespace plat;

namespace {

TEST(InternetContract, OpenAndCloseTheInternetHandle) {
  HInternet h = internet().InternetOpenA("WebCopy", kInternetOpenTypePreconfig, "", "", 0);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(internet().InternetCloseHandle(h));

  HInternet p = internet().InternetOpenA("WebCopy", kInternetOpenTypeProxy, "127.0.0.1:9", "", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(internet().InternetCloseHandle(p));
}

}  // namespace
