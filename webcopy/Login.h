// The credentials prompt: a modal login form with user name and password fields.
#pragma once

#include <string>

namespace nolt {

// Shows the login form with the given caption; the fields start empty. On OK sets
// userName and password to exactly what was typed and returns true; otherwise leaves
// them unchanged and returns false.
bool ShowLoginDialog(const std::string& caption, std::string& userName, std::string& password);

}  // namespace nolt
