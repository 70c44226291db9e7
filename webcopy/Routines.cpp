// Transfer routines of the protocols whose transfers are not built yet: they report
// failure, so the run records the item as not transferred and goes on.
#include "webcopy/WebCopy.h"

namespace nolt {

bool TWebCopy::FtpDownload(int, const std::string&, const std::string&, const std::string&, std::int32_t,
                           const std::string&, const std::string&, const std::string&, bool, TDateTime&, bool&,
                           bool) {
  return false;
}

bool TWebCopy::FileCopy(int, const std::string&, const std::string&, const std::string&, std::int32_t,
                        const std::string&, const std::string&, const std::string&, bool, TDateTime&, bool&) {
  return false;
}

bool TWebCopy::FtpUpload(int, const std::string&, const std::string&, const std::string&, std::int32_t,
                         const std::string&, const std::string&, const std::string&, bool, TDateTime&, bool&, bool) {
  return false;
}

bool TWebCopy::HttpUpload(const std::string&, const std::string&, const std::string&, TWebCopyHTTPCommand) {
  return false;
}

}  // namespace nolt
