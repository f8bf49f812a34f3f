// SHA-256 from OpenSSL's libcrypto, loaded when the first checksum is needed
// rather than at start: linked in, its relocated tables alone would add more
// than a megabyte to every run, also to the many that carry no bundle.
#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include <stdexcept>
#include <string>

#include "os/sha256.h"

namespace mirrolet::os {

namespace {

struct Crypto {
  decltype(&OPENSSL_init_crypto) init = nullptr;
  decltype(&EVP_sha256) sha256 = nullptr;
  decltype(&EVP_MD_CTX_new) newContext = nullptr;
  decltype(&EVP_MD_CTX_free) freeContext = nullptr;
  decltype(&EVP_DigestInit_ex) digestInit = nullptr;
  decltype(&EVP_DigestUpdate) digestUpdate = nullptr;
  decltype(&EVP_DigestFinal_ex) digestFinal = nullptr;

  // The library of the major version the headers are from, or nullptr.
  static const Crypto* Get() {
    static const Crypto* const loaded = Load();
    return loaded;
  }

 private:
  static const Crypto* Load() {
    const std::string name = "libcrypto.so." + std::to_string(OPENSSL_VERSION_MAJOR);
    void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);  // kept for the life of the process
    if (library == nullptr) return nullptr;
    static Crypto crypto;
    const auto bind = [library](auto& function, const char* symbol) {
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(library, symbol));
      return function != nullptr;
    };
    if (!bind(crypto.init, "OPENSSL_init_crypto") || !bind(crypto.sha256, "EVP_sha256") ||
        !bind(crypto.newContext, "EVP_MD_CTX_new") || !bind(crypto.freeContext, "EVP_MD_CTX_free") ||
        !bind(crypto.digestInit, "EVP_DigestInit_ex") || !bind(crypto.digestUpdate, "EVP_DigestUpdate") ||
        !bind(crypto.digestFinal, "EVP_DigestFinal_ex")) {
      return nullptr;
    }
    // The system's openssl.cnf may load providers and engines: nothing a
    // checksum needs, and each would cost the run time and memory.
    crypto.init(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    return &crypto;
  }
};

class OpenSslSha256 final : public bundle::Hasher {
 public:
  OpenSslSha256() : crypto_(Crypto::Get()) {
    context_ = crypto_ ? crypto_->newContext() : nullptr;
    if (context_ == nullptr || crypto_->digestInit(context_, crypto_->sha256(), nullptr) != 1) {
      if (context_ != nullptr) crypto_->freeContext(context_);
      throw std::runtime_error("SHA-256 is not available: libcrypto cannot be loaded");
    }
  }
  OpenSslSha256(const OpenSslSha256&) = delete;
  OpenSslSha256& operator=(const OpenSslSha256&) = delete;
  ~OpenSslSha256() override { crypto_->freeContext(context_); }

  void Update(const std::uint8_t* bytes, std::size_t size) override { crypto_->digestUpdate(context_, bytes, size); }

  bundle::Digest Finish() override {
    bundle::Digest digest{};
    unsigned size = 0;
    crypto_->digestFinal(context_, digest.data(), &size);
    return digest;
  }

 private:
  const Crypto* crypto_;
  EVP_MD_CTX* context_ = nullptr;
};

}  // namespace

std::unique_ptr<bundle::Hasher> NewSha256() { return std::make_unique<OpenSslSha256>(); }

}  // namespace mirrolet::os
