// HTTPS through the internet seam, against the HTTP test server's TLS port, whose
// certificate comes from a test authority (tests/support/tls) that nothing but a test
// trusts: the system's store refuses it on both targets, before any request is sent;
// on Linux a test that trusts the authority downloads over it.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/Internet.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestSupport.h"

#ifndef _WIN32
#include "platform/posix/internet/CurlSession.h"
#endif

using namespace plat;
using nolt::test::HttpServer;

namespace {

constexpr std::uint32_t kFlags = kInternetFlagReload | kInternetFlagNoCacheWrite;

class InternetTls : public ::testing::Test {
 protected:
  void SetUp() override {
    server.AddFile("a.bin", std::string(100000, 's'));
    session = internet().InternetOpenA("WebCopy", kInternetOpenTypeDirect, "", "", 0);
    ASSERT_NE(session, nullptr);
  }
  void TearDown() override { internet().InternetCloseHandle(session); }

  HttpServer server{0, true};
  HInternet session = nullptr;
};

TEST_F(InternetTls, ACertificateOfAnUnknownAuthorityIsRefused) {
  HInternet r = internet().InternetOpenUrlA(session, server.TlsUrl("/a.bin"), nullptr, 0, kFlags, 0);
  EXPECT_EQ(r, nullptr);
  // WinINet's numbers for an untrusted chain: an invalid authority (libcurl's), a
  // failed revocation check (Wine's, for a chain it cannot build), a secure channel error.
  const std::vector<std::uint32_t> refusals = {12045, 12057, 12157};
  const std::uint32_t error = internet().GetLastError();
  EXPECT_NE(std::find(refusals.begin(), refusals.end(), error), refusals.end()) << error;
  if (r) internet().InternetCloseHandle(r);
  EXPECT_TRUE(server.Requests().empty()) << "no request may pass an unverified connection";
}

#ifndef _WIN32
// Wine's WinINet takes its authorities from the system; one cannot be added for a
// single test there, so the download over a trusted certificate runs on Linux only.
TEST_F(InternetTls, ATrustedAuthorityCarriesTheDownload) {
  curlnet::TrustOnlyAuthoritiesIn(nolt::test::SourceDir() + "/tests/support/tls/test-ca.pem");
  HInternet r = internet().InternetOpenUrlA(session, server.TlsUrl("/a.bin"), nullptr, 0, kFlags, 0);
  ASSERT_NE(r, nullptr) << internet().GetLastError();
  std::uint32_t status = 0, length = 4, index = 0;
  EXPECT_TRUE(internet().HttpQueryInfoA(r, kHttpQueryStatusCode | kHttpQueryFlagNumber, &status, &length, &index));
  EXPECT_EQ(status, 200u);
  std::string body;
  char buf[4096];
  std::uint32_t n = 0;
  while (internet().InternetReadFile(r, buf, sizeof buf, &n) && n > 0) body.append(buf, n);
  EXPECT_EQ(body, std::string(100000, 's'));
  internet().InternetCloseHandle(r);

  curlnet::TrustOnlyAuthoritiesIn("");
}
#endif

}  // namespace
