// The framework types the components build on: objects with an owner and a name.
// Their dates are TDateTime values (core/DateTime.h).
#pragma once

#include <cfloat>
#include <string>

#include "core/DateTime.h"

namespace nolt {

// Dates are compared for equality (the newer-only checks), so every intermediate
// result must be rounded to double as on 64-bit builds. x87 arithmetic keeps 80-bit
// intermediates and makes a date unequal to itself once stored: the 32-bit Windows
// build computes with SSE2 (-msse2 -mfpmath=sse).
static_assert(FLT_EVAL_METHOD == 0, "floating-point intermediates must be rounded to their type");

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
