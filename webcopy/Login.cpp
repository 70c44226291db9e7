#include "webcopy/Login.h"

#include "webcopy/LoginForm.h"

namespace nolt {
namespace {

const plat::Control* FindControl(const plat::WindowModel& m, const std::string& name) {
  for (const auto& c : m.controls)
    if (c.name == name) return &c;
  return nullptr;
}

}  // namespace

TWcLoginForm::TWcLoginForm(const std::string& caption) {
  using plat::ControlKind;
  model_.name = "WcLoginForm";
  model_.caption = caption;
  model_.outerWidth = 328;
  model_.outerHeight = 223;
  model_.centred = true;
  model_.border = plat::BorderStyle::Sizeable;
  model_.fontName = "MS Sans Serif";
  model_.fontHeight = -11;

  // Each label comes right before the field that its access key focuses; the
  // fields and buttons stand in their tab order.
  plat::Control image = plat::MakeControl(ControlKind::Image, "Image1", 0, 0, 320, 60, "");
  image.resource = plat::kBannerBitmap;
  model_.controls.push_back(image);

  plat::Control label1 = plat::MakeControl(ControlKind::Label, "Label1", 16, 80, 57, 13, "&User name: ");
  label1.accelChar = true;
  label1.autoSize = true;
  model_.controls.push_back(label1);
  model_.controls.push_back(plat::MakeControl(ControlKind::Edit, "Edit1", 104, 80, 193, 21, ""));

  plat::Control label2 = plat::MakeControl(ControlKind::Label, "Label2", 16, 112, 49, 13, "&Password:");
  label2.accelChar = true;
  label2.autoSize = true;
  model_.controls.push_back(label2);
  model_.controls.push_back(plat::MakeControl(ControlKind::PasswordEdit, "Edit2", 104, 112, 193, 21, ""));

  plat::Control ok = plat::MakeControl(ControlKind::Button, "Button1", 144, 152, 75, 25, "OK");
  ok.isDefault = true;
  ok.modalResult = plat::kIdOk;
  model_.controls.push_back(ok);
  plat::Control cancel = plat::MakeControl(ControlKind::Button, "Button2", 224, 152, 75, 25, "Cancel");
  cancel.isCancel = true;
  cancel.modalResult = plat::kIdCancel;
  model_.controls.push_back(cancel);

  model_.visible = false;
  window_ = plat::ui().CreateWindowFromModel(&model_, plat::WindowEvents{});
}

TWcLoginForm::~TWcLoginForm() {
  if (window_ != plat::kNoWindow) plat::ui().DestroyWindow(window_);
}

int TWcLoginForm::ShowModal() { return plat::ui().ShowModal(window_); }

std::string TWcLoginForm::UserName() const { return FindControl(model_, "Edit1")->text; }

std::string TWcLoginForm::Password() const { return FindControl(model_, "Edit2")->text; }

bool ShowLoginDialog(const std::string& caption, std::string& userName, std::string& password) {
  // The form goes with this scope, also when an error ends the prompt early.
  TWcLoginForm form(caption);
  if (form.ShowModal() != plat::kIdOk) return false;
  userName = form.UserName();
  password = form.Password();
  return true;
}

}  // namespace nolt
