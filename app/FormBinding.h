// Applies the stored settings of a form description to the components, property
// by property. Unknown properties and values are errors: a description that does
// not load completely must not start an update.
#pragma once

#include <functional>
#include <string>

#include "app/FormReader.h"
#include "cabfiles/CABFile.h"
#include "runner/Runner.h"
#include "webcopy/WebCopy.h"

namespace nolt {

// Wires the named handler to the named event of a component; false when the form
// has no such handler for that event.
using EventWiring = std::function<bool(TComponent& component, const std::string& event, const std::string& handler)>;

void LoadWebCopy(TWebCopy& component, const FormObject& stored, const EventWiring& wire);
void LoadCABFile(TCABFile& component, const FormObject& stored, const EventWiring& wire);
void LoadRunner(TRunner& component, const FormObject& stored, const EventWiring& wire);

}  // namespace nolt
