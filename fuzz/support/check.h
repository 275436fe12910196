// Invariant checks for the fuzz targets. A violation prints what broke and aborts, so libFuzzer
// keeps the input as a crash and the corpus replay tests fail on it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace varquin::fuzz {

[[noreturn]] inline void invariant_violated(const char* file, int line, const char* condition,
                                            std::string_view detail) {
  std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, condition);
  if (!detail.empty()) {
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

}  // namespace varquin::fuzz

// Checked in every build type: the targets exist to find these violations.
#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) ::varquin::fuzz::invariant_violated(__FILE__, __LINE__, #condition, {}); \
  } while (false)

#define FUZZ_CHECK_MSG(condition, detail)                                            \
  do {                                                                               \
    if (!(condition))                                                                \
      ::varquin::fuzz::invariant_violated(__FILE__, __LINE__, #condition, (detail)); \
  } while (false)
