// The release check on its own: a signature file made with a throwaway key, and each
// way a release is refused, one row per way.
#include <gtest/gtest.h>

#include "app/ReleaseCheck.h"
#include "platform/Crypto.h"
#include "platform/Files.h"
#include "release/Manifest.h"
#include "tests/support/TestSupport.h"

namespace nolt {
namespace {

constexpr std::int64_t kNow = 1800000000;
const std::string kManifest = "a.dll:1A2B3C4D\r\n";
const std::string kPackage = "the package's bytes";

struct Keys {
  std::string secret, pub;
  Keys() { EXPECT_TRUE(plat::Ed25519Generate(&secret, &pub)); }
};

// A release in dir signed with secret: the manifest as signed unless manifestOnDisk
// says otherwise, and one package "a.dll.cab".
void Publish(const test::TempDir& dir, const std::string& secret, std::int64_t serial, std::int64_t expires,
             const std::string& manifestOnDisk = kManifest) {
  ReleaseSignature r;
  r.serial = serial;
  r.expires = expires;
  r.manifest = SignedFile{{}, kManifest.size(), plat::Sha256Of(kManifest)};
  r.packages.push_back(SignedFile{"a.dll.cab", kPackage.size(), plat::Sha256Of(kPackage)});
  test::WriteFile(dir.File(kSignatureName), SignRelease(r, secret));
  test::WriteFile(dir.File(kManifestName), manifestOnDisk);
}

TEST(ReleaseCheck, TakesOnlyWhatTheKeyVouchesForAndNeverAnOlderRelease) {
  const Keys keys, other;
  struct Case {
    const char* what;
    std::int64_t serial, expires;
    const char* record;  // the record of accepted releases before the run; null for none
    bool otherKey;
    std::string manifest;
    const char* refusal;  // a part of the reason; null when the release is taken
    const char* recordAfter;
  };
  const Case cases[] = {
      {"a first release", 5, kNow + 100, nullptr, false, kManifest, nullptr, "5\n"},
      {"a newer release", 6, kNow + 100, "5\n", false, kManifest, nullptr, "6\n"},
      {"the same release again", 5, kNow + 100, "5\r\n", false, kManifest, nullptr, "5\r\n"},
      {"an older release", 4, kNow + 100, "5\n", false, kManifest, "older (serial 4)", "5\n"},
      {"an expired release", 5, kNow, nullptr, false, kManifest, "expired", nullptr},
      {"another key", 5, kNow + 100, nullptr, true, kManifest, "is refused", nullptr},
      {"a record of -1", 5, kNow + 100, "-1\n", false, kManifest, "cannot be read", "-1\n"},
      {"a record of 20 digits", 5, kNow + 100, "12345678901234567890\n", false, kManifest, "cannot be read",
       "12345678901234567890\n"},
      {"a manifest longer than signed", 5, kNow + 100, nullptr, false, kManifest + "b.dll:1\r\n", "signed bytes",
       nullptr},
      {"a manifest of the signed size but other bytes", 5, kNow + 100, nullptr, false, "a.dll:1A2B3C4E\r\n",
       "SHA-256 differs", nullptr},
      {"a shorter manifest", 5, kNow + 100, nullptr, false, "a.dll:1\r\n", "the signature states", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    Publish(dir, c.otherKey ? other.secret : keys.secret, c.serial, c.expires, c.manifest);
    if (c.record) test::WriteFile(dir.File(kSerialRecordName), c.record);
    ReleaseCheck check(ToHex(keys.pub) + "\n");
    ASSERT_TRUE(check.Enabled());
    std::string why = check.CheckSignature(dir.Dir(), kNow);
    if (why.empty()) {
      EXPECT_EQ(check.ManifestSize(), kManifest.size());
      why = check.CheckManifest(dir.Dir());
    }
    if (c.refusal) {
      EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
    } else {
      EXPECT_EQ(why, "");
    }
    const bool recorded = plat::files().GetFileAttributesA(dir.File(kSerialRecordName)) != plat::kInvalidFileAttributes;
    EXPECT_EQ(recorded, c.recordAfter != nullptr);
    if (c.recordAfter && recorded) {
      EXPECT_EQ(test::ReadFile(dir.File(kSerialRecordName)), c.recordAfter);
    }
    if (c.refusal) {
      EXPECT_EQ(check.Package("a.dll.cab"), nullptr);  // a refused release vouches for nothing
    }
  }
}

TEST(ReleaseCheck, APackageMustBeTheSignedOne) {
  const Keys keys;
  test::TempDir dir;
  Publish(dir, keys.secret, 1, kNow + 100);
  ReleaseCheck check(ToHex(keys.pub));
  ASSERT_EQ(check.CheckSignature(dir.Dir(), kNow), "");
  ASSERT_EQ(check.CheckManifest(dir.Dir()), "");
  const struct {
    const char* name;
    std::string bytes;
    const char* refusal;
  } cases[] = {
      {"a.dll.cab", kPackage, nullptr},
      {"a.dll.cab", kPackage + "!", "signed bytes"},
      {"a.dll.cab", std::string(kPackage.size(), 'x'), "SHA-256 differs"},
      {"b.dll.cab", kPackage, "no such package"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    test::WriteFile(dir.File("p"), c.bytes);
    const std::string why = check.CheckPackage(c.name, dir.File("p"));
    if (c.refusal) {
      EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
    } else {
      EXPECT_EQ(why, "");
    }
  }
  EXPECT_EQ(ReleaseCheck("").Enabled(), false);
}

}  // namespace
}  // namespace nolt
