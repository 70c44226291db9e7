// FTP upload: one wpFtpUpload item. Not built yet: it reports failure, so the run
// records the item as not transferred and goes on.
#include "webcopy/WebCopy.h"

namespace nolt {

bool TWebCopy::FtpUpload(int, const std::string&, const std::string&, const std::string&, std::int32_t,
                         const std::string&, const std::string&, const std::string&, bool, TDateTime&, bool&, bool) {
  return false;
}

}  // namespace nolt
