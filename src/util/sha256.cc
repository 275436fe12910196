#include "util/sha256.h"

// The digest functions themselves, not the EVP interface: EVP draws OpenSSL's whole provider
// machinery into the static executable (17,000 more relocations, which a position-independent
// bridge applies at every start: +0.4 ms, a third of its start-up). They are deprecated in
// OpenSSL 3 but kept, and run the same SHA-NI and AVX2 code.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace varquin::util {

struct Sha256::Context {
  SHA256_CTX ctx;
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  SHA256_Init(&context_->ctx);
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
  SHA256_Update(&context_->ctx, bytes.data(), bytes.size());
}

std::string Sha256::finish_hex() {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  const unsigned int length = SHA256_DIGEST_LENGTH;
  SHA256_Final(digest, &context_->ctx);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0x0F];
  }
  return hex;
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
  Sha256 hasher;
  hasher.update(bytes);
  return hasher.finish_hex();
}

}  // namespace varquin::util
