#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/webcopy/FakeUi.h"
#include "webcopy/Login.h"
#include "webcopy/LoginForm.h"

using nolt::test::FakeUi;

namespace {

plat::Control& Get(plat::WindowModel& m, const std::string& name) {
  for (auto& c : m.controls)
    if (c.name == name) return c;
  throw std::runtime_error("no control " + name);
}

std::vector<int> Box(const plat::Control& c) { return {c.left, c.top, c.width, c.height}; }

class LoginForm : public ::testing::Test {
 protected:
  FakeUi view;
  plat::ScopedSeam<plat::Ui> useView{view};
};

TEST_F(LoginForm, LayoutOfTheForm) {
  nolt::TWcLoginForm form("Connect to host");
  plat::WindowModel& m = form.Model();
  EXPECT_EQ(m.caption, "Connect to host");
  EXPECT_EQ(m.outerWidth, 328);
  EXPECT_EQ(m.outerHeight, 223);
  EXPECT_TRUE(m.centred);
  EXPECT_EQ(m.border, plat::BorderStyle::Sizeable);
  EXPECT_EQ(m.fontName, "MS Sans Serif");
  EXPECT_EQ(m.fontHeight, -11);
  EXPECT_FALSE(m.visible) << "shown only modally";

  EXPECT_EQ(Box(Get(m, "Image1")), (std::vector<int>{0, 0, 320, 60}));
  EXPECT_EQ(Get(m, "Image1").resource, plat::kBannerBitmap);
  EXPECT_EQ(Box(Get(m, "Label1")), (std::vector<int>{16, 80, 57, 13}));
  EXPECT_EQ(Get(m, "Label1").text, "&User name: ");
  EXPECT_TRUE(Get(m, "Label1").accelChar);
  EXPECT_EQ(Box(Get(m, "Label2")), (std::vector<int>{16, 112, 49, 13}));
  EXPECT_EQ(Get(m, "Label2").text, "&Password:");
  EXPECT_TRUE(Get(m, "Label2").accelChar);
  EXPECT_EQ(Box(Get(m, "Edit1")), (std::vector<int>{104, 80, 193, 21}));
  EXPECT_EQ(Get(m, "Edit1").kind, plat::ControlKind::Edit);
  EXPECT_EQ(Box(Get(m, "Edit2")), (std::vector<int>{104, 112, 193, 21}));
  EXPECT_EQ(Get(m, "Edit2").kind, plat::ControlKind::PasswordEdit);
  EXPECT_EQ(Box(Get(m, "Button1")), (std::vector<int>{144, 152, 75, 25}));
  EXPECT_EQ(Get(m, "Button1").text, "OK");
  EXPECT_TRUE(Get(m, "Button1").isDefault);
  EXPECT_EQ(Get(m, "Button1").modalResult, plat::kIdOk);
  EXPECT_EQ(Box(Get(m, "Button2")), (std::vector<int>{224, 152, 75, 25}));
  EXPECT_EQ(Get(m, "Button2").text, "Cancel");
  EXPECT_TRUE(Get(m, "Button2").isCancel);
  EXPECT_EQ(Get(m, "Button2").modalResult, plat::kIdCancel);

  // Tab order of the fields and buttons; each label right before the field its key focuses.
  std::vector<std::string> order;
  for (const auto& c : m.controls) order.push_back(c.name);
  EXPECT_EQ(order, (std::vector<std::string>{"Image1", "Label1", "Edit1", "Label2", "Edit2", "Button1", "Button2"}));
}

TEST_F(LoginForm, OkHandsBackExactlyWhatWasTypedAndTheFieldsStartEmpty) {
  std::vector<std::string> startedWith;
  view.modalUser = [&](plat::WindowModel& m) {
    startedWith = {Get(m, "Edit1").text, Get(m, "Edit2").text};
    Get(m, "Edit1").text = " anna \xe9";
    Get(m, "Edit2").text = "p:w d";
    return plat::kIdOk;
  };
  std::string user = "old", password = "oldpw";
  EXPECT_TRUE(nolt::ShowLoginDialog("Connect to host", user, password));
  EXPECT_EQ(startedWith, (std::vector<std::string>{"", ""})) << "the caller's values are not shown";
  EXPECT_EQ(user, " anna \xe9");
  EXPECT_EQ(password, "p:w d");
  EXPECT_EQ(view.created, 1);
  EXPECT_EQ(view.destroyed, 1);
}

TEST_F(LoginForm, OkWithEmptyFieldsReturnsTwoEmptyValues) {
  view.modalUser = [](plat::WindowModel&) { return plat::kIdOk; };
  std::string user = "old", password = "oldpw";
  EXPECT_TRUE(nolt::ShowLoginDialog("c", user, password));
  EXPECT_EQ(user, "");
  EXPECT_EQ(password, "");
}

TEST_F(LoginForm, CancelEscOrCloseLeavesTheCallersValues) {
  view.modalUser = [](plat::WindowModel& m) {
    Get(m, "Edit1").text = "typed";
    Get(m, "Edit2").text = "typed";
    return plat::kIdCancel;
  };
  std::string user = "old", password = "oldpw";
  EXPECT_FALSE(nolt::ShowLoginDialog("c", user, password));
  EXPECT_EQ(user, "old");
  EXPECT_EQ(password, "oldpw");
  EXPECT_EQ(view.destroyed, 1);
}

TEST(LoginFormHeadless, AnswersFalseAtOnce) {
  plat::HeadlessUi headless;
  plat::ScopedSeam<plat::Ui> use(headless);
  std::string user = "u", password = "p";
  EXPECT_FALSE(nolt::ShowLoginDialog("Connect to host", user, password));
  EXPECT_EQ(user, "u");
  EXPECT_EQ(password, "p");
}

}  // namespace
