// The login form over the real view of the target (Win32, or FLTK on an X display):
// its close box is a Cancel. Skipped where there is no display. The view's own
// contract is tests/platform/UiContractTest.cpp.
#include <gtest/gtest.h>

#include "platform/Ui.h"
#include "tests/platform/NativeWindow.h"
#include "webcopy/Login.h"

using namespace plat;
using nolt::test::NativeWindow;

namespace {

class UiView : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ui().HasDisplay()) GTEST_SKIP() << "no display: the headless view is in use";
  }
};

TEST_F(UiView, TheLoginFormsCloseBoxIsACancel) {
  const std::string caption = "Connect to close.example";
  NativeWindow form;
  bool closed = false;
  ui().PostToMainThread([&] {
    form = nolt::test::InspectWindow(caption);
    closed = nolt::test::SendCloseBox(caption);
  });
  std::string user = "u", password = "p";
  EXPECT_FALSE(nolt::ShowLoginDialog(caption, user, password));
  EXPECT_TRUE(closed);
  EXPECT_EQ(user, "u");
  EXPECT_EQ(password, "p");
  ASSERT_TRUE(form.found);
  EXPECT_EQ(form.clientWidth, 320);
  EXPECT_TRUE(form.resizable);
}

}  // namespace
