// The cryptography seam over libgcrypt. The library is the same on both targets
// (statically linked into the Windows programs), so there is one implementation.
#include "platform/Crypto.h"

#include <gcrypt.h>

#include <mutex>

namespace plat {
namespace {

// libgcrypt must be initialised once before any other call. Secure memory is left
// off: it needs privileges on Linux and does not exist on Windows, and the only
// secret, the signing seed, lives in the vendor's tool for a moment.
void Initialise() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

// Frees an S-expression at the end of a scope.
struct Sexp {
  gcry_sexp_t s = nullptr;
  ~Sexp() { gcry_sexp_release(s); }
};

// The value of the first (name VALUE) list below s, as raw bytes.
std::string Field(gcry_sexp_t s, const char* name) {
  Sexp list;
  list.s = gcry_sexp_find_token(s, name, 0);
  if (!list.s) return {};
  std::size_t size = 0;
  const char* data = gcry_sexp_nth_data(list.s, 1, &size);
  return data ? std::string(data, size) : std::string();
}

// Ed25519 points may come with the 0x40 prefix of the native compressed form.
std::string WithoutPrefix(std::string point) {
  if (point.size() == kEd25519KeySize + 1 && static_cast<unsigned char>(point[0]) == 0x40) point.erase(0, 1);
  return point;
}

// libgcrypt takes a fixed-size value as a string of that many bytes.
std::string LeftPadded(std::string value, std::size_t size) {
  if (value.size() < size) value.insert(0, size - value.size(), '\0');
  return value;
}

}  // namespace

Sha256::Sha256() : handle_(nullptr) {
  Initialise();
  gcry_md_hd_t h = nullptr;
  if (gcry_md_open(&h, GCRY_MD_SHA256, 0) == 0) handle_ = h;
}

Sha256::~Sha256() { gcry_md_close(static_cast<gcry_md_hd_t>(handle_)); }

void Sha256::Update(const void* data, std::size_t size) {
  if (handle_ && size > 0) gcry_md_write(static_cast<gcry_md_hd_t>(handle_), data, size);
}

std::string Sha256::Final() {
  if (!handle_) return {};
  const unsigned char* digest = gcry_md_read(static_cast<gcry_md_hd_t>(handle_), GCRY_MD_SHA256);
  return digest ? std::string(reinterpret_cast<const char*>(digest), kSha256Size) : std::string();
}

std::string Sha256Of(const std::string& data) {
  Sha256 h;
  h.Update(data.data(), data.size());
  return h.Final();
}

bool Ed25519Generate(std::string* secret, std::string* publicKey) {
  Initialise();
  Sexp params, key;
  if (gcry_sexp_build(&params.s, nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))") != 0) return false;
  if (gcry_pk_genkey(&key.s, params.s) != 0) return false;
  Sexp priv;
  priv.s = gcry_sexp_find_token(key.s, "private-key", 0);
  if (!priv.s) return false;
  *secret = LeftPadded(Field(priv.s, "d"), kEd25519KeySize);
  *publicKey = WithoutPrefix(Field(priv.s, "q"));
  return secret->size() == kEd25519KeySize && publicKey->size() == kEd25519KeySize;
}

std::string Ed25519Sign(const std::string& secret, const std::string& message) {
  if (secret.size() != kEd25519KeySize || message.size() > kEd25519MaxMessage) return {};
  Initialise();
  Sexp key, data, sig;
  if (gcry_sexp_build(&key.s, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                      static_cast<int>(secret.size()), secret.data()) != 0)
    return {};
  if (gcry_sexp_build(&data.s, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(message.size()), message.data()) != 0)
    return {};
  if (gcry_pk_sign(&sig.s, data.s, key.s) != 0) return {};
  const std::string r = LeftPadded(Field(sig.s, "r"), 32), s = LeftPadded(Field(sig.s, "s"), 32);
  if (r.size() != 32 || s.size() != 32) return {};
  return r + s;
}

bool Ed25519Verify(const std::string& publicKey, const std::string& message, const std::string& signature) {
  if (publicKey.size() != kEd25519KeySize || signature.size() != kEd25519SignatureSize ||
      message.size() > kEd25519MaxMessage)
    return false;
  Initialise();
  Sexp key, data, sig;
  if (gcry_sexp_build(&key.s, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(publicKey.size()), publicKey.data()) != 0)
    return false;
  if (gcry_sexp_build(&data.s, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(message.size()), message.data()) != 0)
    return false;
  if (gcry_sexp_build(&sig.s, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, signature.data(), 32,
                      signature.data() + 32) != 0)
    return false;
  return gcry_pk_verify(sig.s, data.s, key.s) == 0;
}

}  // namespace plat
