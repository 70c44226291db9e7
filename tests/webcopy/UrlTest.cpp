// Taking URLs apart and inserting proxy credentials.
#include <gtest/gtest.h>

#include "webcopy/Url.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

// Opens the component's URL helpers to the tests.
class UrlWebCopy : public TWebCopy {
 public:
  using TWebCopy::ExtractURLHost;
  using TWebCopy::ExtractURLPath;
  using TWebCopy::InsertProxyCredentials;
};

TEST(ExtractURLFileName, TakesTheTextAfterTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(ExtractURLFileName("http://host/dir/file.cab"), "file.cab");
  EXPECT_EQ(ExtractURLFileName("http://host"), "host");
  EXPECT_EQ(ExtractURLFileName("http://host/dir/"), "");
  EXPECT_EQ(ExtractURLFileName("C:\\dir\\a.txt"), "a.txt");
  EXPECT_EQ(ExtractURLFileName("dir/sub\\file"), "file");
  EXPECT_EQ(ExtractURLFileName("dir\\sub/file"), "file");
  EXPECT_EQ(ExtractURLFileName("/srv/share/a.cab"), "a.cab");
  EXPECT_EQ(ExtractURLFileName("http://host/get?f=a.cab"), "get?f=a.cab");
  EXPECT_EQ(ExtractURLFileName("a.cab"), "a.cab");
  EXPECT_EQ(ExtractURLFileName(""), "");
}

TEST(ExtractURLHost, DropsSchemeUserInformationAndPath) {
  UrlWebCopy wc;
  EXPECT_EQ(wc.ExtractURLHost("http://host/dir/x"), "host");
  EXPECT_EQ(wc.ExtractURLHost("http://host:8080/x"), "host:8080");
  EXPECT_EQ(wc.ExtractURLHost("http://user:pw@host/x"), "host");
  EXPECT_EQ(wc.ExtractURLHost("http://host"), "host");
  EXPECT_EQ(wc.ExtractURLHost("host/dir"), "host");
  // An "@" anywhere is taken for the end of user information, even in the path.
  EXPECT_EQ(wc.ExtractURLHost("http://host/a@b"), "b");
  // A backslash separates nothing here.
  EXPECT_EQ(wc.ExtractURLHost("http://host\\share/x"), "host\\share");
  EXPECT_EQ(wc.ExtractURLHost(""), "");
}

TEST(ExtractURLPath, KeepsEverythingFromTheFirstSlashAfterTheHost) {
  UrlWebCopy wc;
  EXPECT_EQ(wc.ExtractURLPath("http://host/dir/x?a=1"), "/dir/x?a=1");
  EXPECT_EQ(wc.ExtractURLPath("http://user:pw@host/x"), "/x");
  EXPECT_EQ(wc.ExtractURLPath("http://host/"), "/");
  EXPECT_EQ(wc.ExtractURLPath("http://host:81/a/b#frag"), "/a/b#frag");
  // Without a path the request goes to the root, not to an object named like the host.
  EXPECT_EQ(wc.ExtractURLPath("http://host"), "/");
  EXPECT_EQ(wc.ExtractURLPath("http://host:8080"), "/");
}

TEST(ExtractURLServer, KeepsUserInformationAndPortAndStopsAtEitherSlash) {
  EXPECT_EQ(ExtractURLServer("http://user:pw@host:81/a"), "user:pw@host:81");
  EXPECT_EQ(ExtractURLServer("http://host"), "host");
  EXPECT_EQ(ExtractURLServer("host\\share\\x"), "host");
  EXPECT_EQ(ExtractURLServer("ftp://host/a\\b"), "host");
  EXPECT_EQ(ExtractURLServer(""), "");
}

TEST(InsertProxyCredentials, WritesBothCredentialsIntoPlainHttpOnly) {
  UrlWebCopy wc;
  wc.ProxyUserID = "pu";
  wc.ProxyPassword = "pp";
  // Only the scheme changes case.
  EXPECT_EQ(wc.InsertProxyCredentials("HTTP://Host/x"), "http://pu:pp@Host/x");
  EXPECT_EQ(wc.InsertProxyCredentials("hTtP://host"), "http://pu:pp@host");
  EXPECT_EQ(wc.InsertProxyCredentials("https://host/x"), "https://host/x");
  EXPECT_EQ(wc.InsertProxyCredentials("ftp://host/x"), "ftp://host/x");
  // The scheme must open the URL.
  EXPECT_EQ(wc.InsertProxyCredentials(" http://host/x"), " http://host/x");
  EXPECT_EQ(wc.InsertProxyCredentials("http:/"), "http:/");
  // User information already present stays behind the inserted one.
  EXPECT_EQ(wc.InsertProxyCredentials("http://u:p@host/x"), "http://pu:pp@u:p@host/x");
  // Inserted as they stand, without escaping.
  wc.ProxyUserID = "a@b";
  wc.ProxyPassword = "c:d";
  EXPECT_EQ(wc.InsertProxyCredentials("http://host/"), "http://a@b:c:d@host/");
}

TEST(InsertProxyCredentials, LeavesEveryUrlAloneWithoutBothCredentials) {
  UrlWebCopy wc;
  EXPECT_EQ(wc.InsertProxyCredentials("HTTP://Host/x"), "HTTP://Host/x");
  wc.ProxyUserID = "pu";
  EXPECT_EQ(wc.InsertProxyCredentials("HTTP://Host/x"), "HTTP://Host/x");
  wc.ProxyUserID.clear();
  wc.ProxyPassword = "pp";
  EXPECT_EQ(wc.InsertProxyCredentials("http://host/x"), "http://host/x");
}

}  // namespace
}  // namespace nolt
