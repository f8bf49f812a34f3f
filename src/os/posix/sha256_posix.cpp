#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <stdexcept>

#include "os/sha256.h"

namespace mirrolet::os {

namespace {

EVP_MD_CTX* NewContext() {
  // The system's openssl.cnf may load providers and engines: nothing a
  // checksum needs, and each would cost the run time and memory.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  return EVP_MD_CTX_new();
}

class OpenSslSha256 final : public bundle::Hasher {
 public:
  OpenSslSha256() : context_(NewContext()) {
    if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
      EVP_MD_CTX_free(context_);
      throw std::runtime_error("SHA-256 is not available");
    }
  }
  OpenSslSha256(const OpenSslSha256&) = delete;
  OpenSslSha256& operator=(const OpenSslSha256&) = delete;
  ~OpenSslSha256() override { EVP_MD_CTX_free(context_); }

  void Update(const std::uint8_t* bytes, std::size_t size) override { EVP_DigestUpdate(context_, bytes, size); }

  bundle::Digest Finish() override {
    bundle::Digest digest{};
    unsigned size = 0;
    EVP_DigestFinal_ex(context_, digest.data(), &size);
    return digest;
  }

 private:
  EVP_MD_CTX* context_;
};

}  // namespace

std::unique_ptr<bundle::Hasher> NewSha256() { return std::make_unique<OpenSslSha256>(); }

}  // namespace mirrolet::os
