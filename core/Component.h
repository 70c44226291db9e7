// The framework types the components build on: objects with an owner and a name,
// and the day-count date of the form descriptions.
#pragma once

#include <string>

namespace nolt {

// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

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
