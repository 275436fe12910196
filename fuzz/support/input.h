// Splits a fuzz input into the choices a target makes and the bytes it parses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varquin::fuzz {

// Takes bytes from the front of the input; past the end every choice reads as zero, so short
// inputs still run every check.
class InputCursor {
 public:
  InputCursor(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    auto value = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return value;
  }

  std::uint32_t u32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | byte();
    return value;
  }

  std::uint64_t u64() { return std::uint64_t{u32()} << 32 | u32(); }

  std::string_view bytes(std::size_t count) {
    std::string_view taken = rest_.substr(0, std::min(count, rest_.size()));
    rest_.remove_prefix(taken.size());
    return taken;
  }

  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

// A small deterministic generator for choices derived from the whole input (the parsers that take
// the input as it is have no spare bytes to draw from).
class Choices {
 public:
  explicit Choices(std::uint64_t seed) : state_(seed | 1) {}

  static Choices from_text(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
    for (char c : text) {
      hash ^= static_cast<std::uint8_t>(c);
      hash *= 0x100000001b3u;
    }
    return Choices(hash);
  }

  std::uint64_t next() {
    // xorshift64*
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Du;
  }

  // Uniform enough for picking among `count` options (count > 0).
  std::size_t below(std::size_t count) { return static_cast<std::size_t>(next() % count); }

 private:
  std::uint64_t state_;
};

}  // namespace varquin::fuzz
