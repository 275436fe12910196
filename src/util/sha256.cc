#include "util/sha256.h"

#include <algorithm>
#include <array>
#include <limits>

#if defined(__APPLE__)
// The system's own implementation (libSystem), hardware-accelerated on Apple silicon: nothing to
// build or ship for it, and no third-party library in the bridge for one digest.
#include <CommonCrypto/CommonDigest.h>
#else
// The digest functions themselves, not the EVP interface: EVP draws OpenSSL's whole provider
// machinery into the static executable (17,000 more relocations, which a position-independent
// bridge applies at every start: +0.4 ms, a third of its start-up). They are deprecated in
// OpenSSL 3 but kept, and run the same SHA-NI and AVX2 code.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#endif

namespace varquin::util {

namespace {

constexpr std::size_t kDigestBytes = 32;

}  // namespace

#if defined(__APPLE__)

struct Sha256::Context {
  CC_SHA256_CTX ctx;
  void init() { CC_SHA256_Init(&ctx); }
  void update(const std::uint8_t* data, std::size_t size) {
    // CommonCrypto counts in 32-bit lengths.
    constexpr std::size_t kMaxStep = std::numeric_limits<CC_LONG>::max();
    while (size > 0) {
      const std::size_t step = std::min(size, kMaxStep);
      CC_SHA256_Update(&ctx, data, static_cast<CC_LONG>(step));
      data += step;
      size -= step;
    }
  }
  void final(unsigned char* digest) { CC_SHA256_Final(digest, &ctx); }
};

#else

struct Sha256::Context {
  SHA256_CTX ctx;
  void init() { SHA256_Init(&ctx); }
  void update(const std::uint8_t* data, std::size_t size) { SHA256_Update(&ctx, data, size); }
  void final(unsigned char* digest) { SHA256_Final(digest, &ctx); }
};

#endif

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  context_->init();
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
  context_->update(bytes.data(), bytes.size());
}

std::string Sha256::finish_hex() {
  std::array<unsigned char, kDigestBytes> digest{};
  context_->final(digest.data());
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(kDigestBytes * 2);
  for (unsigned char byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
  Sha256 hasher;
  hasher.update(bytes);
  return hasher.finish_hex();
}

}  // namespace varquin::util
