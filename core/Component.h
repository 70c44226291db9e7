// The framework types the components build on: objects with an owner and a name.
// Their dates are TDateTime values (core/DateTime.h).
#pragma once

#include <string>

#include "core/DateTime.h"

namespace nolt {

class TObject {
 public:
  virtual ~TObject() = default;
};

// A component: owned by another component (the form), named in the form description.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner = nullptr) : Owner(owner) {}
  TComponent* Owner;
  std::string Name;
  long Tag = 0;
};

}  // namespace nolt
