// HTTP upload: one wpHttpUpload item sent with POST or PUT. Not built yet: it
// reports failure, so the run records the item as not transferred and goes on.
#include "webcopy/WebCopy.h"

namespace nolt {

bool TWebCopy::HttpUpload(const std::string&, const std::string&, const std::string&, TWebCopyHTTPCommand) {
  return false;
}

}  // namespace nolt
