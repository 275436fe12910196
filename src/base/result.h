// A value or the failure that stands in its place, which the caller cannot drop unread, and the
// two macros that pass a failure on to the caller (as Abseil's and LLVM's do).
#pragma once

#include <expected>
#include <utility>

namespace varquin::base {

template <typename T, typename E>
class [[nodiscard]] Expected : public std::expected<T, E> {
 public:
  using std::expected<T, E>::expected;
};

}  // namespace varquin::base

// Declares `name` as the result of the expression; returns its failure from the calling function.
#define VARQUIN_TRY(name, ...) \
  auto name = (__VA_ARGS__);   \
  if (!name) return std::unexpected(std::move(name).error())

// Returns the failure of the expression, whose value is not needed, from the calling function.
#define VARQUIN_RETURN_IF_ERROR(...)                              \
  do {                                                            \
    if (auto varquin_result_ = (__VA_ARGS__); !varquin_result_) { \
      return std::unexpected(std::move(varquin_result_).error()); \
    }                                                             \
  } while (0)
