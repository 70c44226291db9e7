// The cryptography seam: known answers of SHA-256 (FIPS 180-2) and Ed25519
// (RFC 8032, section 7.1), a fresh key pair, and the refusals of a verifier.
#include <gtest/gtest.h>

#include <string>

#include "platform/Crypto.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

TEST(CryptoContract, Sha256KnownAnswersWholeAndInPieces) {
  EXPECT_EQ(plat::Sha256Of(""), FromHex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  const std::string abc = FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(plat::Sha256Of("abc"), abc);
  plat::Sha256 h;
  h.Update("a", 1);
  h.Update("bc", 2);
  EXPECT_EQ(h.Final(), abc);
}

TEST(CryptoContract, Ed25519KnownAnswerAndRefusals) {
  const std::string secret = FromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
  const std::string pub = FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  const std::string sig = FromHex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
  EXPECT_EQ(plat::Ed25519Sign(secret, ""), sig);
  EXPECT_TRUE(plat::Ed25519Verify(pub, "", sig));

  std::string flipped = sig;
  flipped[10] ^= 1;
  EXPECT_FALSE(plat::Ed25519Verify(pub, "", flipped));
  EXPECT_FALSE(plat::Ed25519Verify(pub, "x", sig));
  EXPECT_FALSE(plat::Ed25519Verify(pub, "", sig.substr(0, 63)));
  EXPECT_FALSE(plat::Ed25519Verify(pub.substr(1), "", sig));
  EXPECT_EQ(plat::Ed25519Sign(secret.substr(1), ""), "");
}

TEST(CryptoContract, GeneratedKeySignsAndOnlyItVerifies) {
  std::string secret, pub, otherSecret, otherPub;
  ASSERT_TRUE(plat::Ed25519Generate(&secret, &pub));
  ASSERT_TRUE(plat::Ed25519Generate(&otherSecret, &otherPub));
  EXPECT_NE(secret, otherSecret);
  const std::string message("release\0with a NUL", 18);
  const std::string sig = plat::Ed25519Sign(secret, message);
  ASSERT_EQ(sig.size(), plat::kEd25519SignatureSize);
  EXPECT_TRUE(plat::Ed25519Verify(pub, message, sig));
  EXPECT_FALSE(plat::Ed25519Verify(otherPub, message, sig));

  // The longest message is signed; a longer one is refused, never passed on.
  const std::string longest(plat::kEd25519MaxMessage, 'm');
  EXPECT_TRUE(plat::Ed25519Verify(pub, longest, plat::Ed25519Sign(secret, longest)));
  EXPECT_EQ(plat::Ed25519Sign(secret, longest + "m"), "");
  EXPECT_FALSE(plat::Ed25519Verify(pub, longest + "m", sig));
}

}  // namespace
