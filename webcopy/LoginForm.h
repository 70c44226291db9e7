// TWcLoginForm: the login form of the credentials prompt, a modal window with a
// banner, a user name field, a masked password field, OK and Cancel.
#pragma once

#include <string>

#include "platform/Ui.h"

namespace nolt {

class TWcLoginForm {
 public:
  // Creates the form (hidden) with the caller's caption; both fields start empty.
  explicit TWcLoginForm(const std::string& caption);
  ~TWcLoginForm();
  TWcLoginForm(const TWcLoginForm&) = delete;
  TWcLoginForm& operator=(const TWcLoginForm&) = delete;

  // Shows the form modally: plat::kIdOk for OK or Enter, plat::kIdCancel for Cancel,
  // Esc or the close box.
  int ShowModal();

  // The fields, as the user left them.
  std::string UserName() const;
  std::string Password() const;

  const plat::WindowModel& Model() const { return model_; }
  plat::WindowModel& Model() { return model_; }

 private:
  plat::WindowModel model_;
  plat::WindowId window_ = plat::kNoWindow;
};

}  // namespace nolt
