// SHA-256 through OpenSSL's EVP interface, several times faster than libavutil's on gigabytes of input.
#include <openssl/evp.h>

#include "report/sha256.h"

namespace qmv {

struct Sha256::State {
  struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
  };
  struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  };
  std::unique_ptr<EVP_MD, MdFree> md{EVP_MD_fetch(nullptr, "SHA256", nullptr)};
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx{EVP_MD_CTX_new()};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  ok_ = state_->md && state_->ctx && EVP_DigestInit_ex(state_->ctx.get(), state_->md.get(), nullptr) == 1;
}

Sha256::~Sha256() = default;

bool Sha256::update(const uint8_t* data, std::size_t size) {
  if (ok_ && size > 0) ok_ = EVP_DigestUpdate(state_->ctx.get(), data, size) == 1;
  return ok_;
}

std::optional<Sha256Digest> Sha256::finish() {
  if (!ok_) return std::nullopt;
  Sha256Digest digest{};
  unsigned int length = 0;
  ok_ = EVP_DigestFinal_ex(state_->ctx.get(), digest.data(), &length) == 1 && length == digest.size() &&
        EVP_DigestInit_ex(state_->ctx.get(), state_->md.get(), nullptr) == 1;
  if (!ok_) return std::nullopt;
  return digest;
}

}  // namespace qmv
