// HTTP download: comes with the HTTP transfer; until then it reports failure.
#include "webcopy/WebCopy.h"

namespace nolt {

bool TWebCopy::HttpDownload(int, const std::string&, const std::string&, const std::string&, bool, TDateTime&,
                            bool& NoNewFile, TWebCopyAuthentication, const std::string&, const std::string&) {
  NoNewFile = false;
  return false;
}

}  // namespace nolt
