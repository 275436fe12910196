#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace varquin::util {

// Streaming SHA-256 (FIPS 180-4): CommonCrypto on Apple platforms, OpenSSL elsewhere.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::span<const std::uint8_t> bytes);
  // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
  std::string finish_hex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

std::string sha256_hex(std::span<const std::uint8_t> bytes);

}  // namespace varquin::util
