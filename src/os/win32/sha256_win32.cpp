// CryptoAPI lives in advapi32, which the exe imports anyway: hashing adds no
// DLL that could be planted beside the program.
#include <windows.h>

#include <wincrypt.h>

#include <stdexcept>

#include "os/sha256.h"

namespace mirrolet::os {

namespace {

class CryptoApiSha256 final : public bundle::Hasher {
 public:
  CryptoApiSha256() {
    // PROV_RSA_AES is the provider with SHA-256 since Windows XP SP3; a
    // verify-only context needs no key container and touches no profile.
    if (!CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
        !CryptCreateHash(provider_, CALG_SHA_256, 0, 0, &hash_)) {
      if (provider_ != 0) CryptReleaseContext(provider_, 0);
      throw std::runtime_error("SHA-256 is not available");
    }
  }
  CryptoApiSha256(const CryptoApiSha256&) = delete;
  CryptoApiSha256& operator=(const CryptoApiSha256&) = delete;
  ~CryptoApiSha256() override {
    CryptDestroyHash(hash_);
    CryptReleaseContext(provider_, 0);
  }

  void Update(const std::uint8_t* bytes, std::size_t size) override {
    // CryptHashData takes a 32-bit length.
    while (size > 0) {
      const DWORD n = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      CryptHashData(hash_, bytes, n, 0);
      bytes += n;
      size -= n;
    }
  }

  bundle::Digest Finish() override {
    bundle::Digest digest{};
    DWORD size = static_cast<DWORD>(digest.size());
    CryptGetHashParam(hash_, HP_HASHVAL, digest.data(), &size, 0);
    return digest;
  }

 private:
  HCRYPTPROV provider_ = 0;
  HCRYPTHASH hash_ = 0;
};

}  // namespace

std::unique_ptr<bundle::Hasher> NewSha256() { return std::make_unique<CryptoApiSha256>(); }

}  // namespace mirrolet::os
