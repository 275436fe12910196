// A value or the failure that stands in its place, which the caller cannot drop unread, and the
// two macros that pass a failure on to the caller, as it is or through an adapter that turns it
// into the caller's own kind of failure (the shape of Chromium's base/types/expected_macros.h):
//
//   VARQUIN_ASSIGN_OR_RETURN(auto file, directory.create_file(name),
//                            staging_failed("Unable to create staged file: "));
//   VARQUIN_RETURN_IF_ERROR(write_all(fd, bytes), staging_failed("Unable to stage attachment: "));
//
// An adapter is anything callable with the failure; it returns the new failure, bare or already
// wrapped in std::unexpected.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace varquin::base {

namespace internal {

template <typename T>
struct IsOptionalOfTriviallyCopyable : std::false_type {};
template <typename U>
struct IsOptionalOfTriviallyCopyable<std::optional<U>>
    : std::bool_constant<std::is_trivially_copyable_v<U>> {};

}  // namespace internal

template <typename T, typename E>
class [[nodiscard]] Expected : public std::expected<T, E> {
  // libc++ before 18 (Apple's with Xcode 15 among them) may keep std::expected's has-value flag
  // in the tail padding of the value, and copies a trivially copyable value with its padding: an
  // expected holding an optional<int> or optional<struct stat> can read as a failure that never
  // happened (LLVM issue 68552). Refused here, in every build, so it never reaches a Mac.
  static_assert(!internal::IsOptionalOfTriviallyCopyable<T>::value,
                "an optional of a trivially copyable type as an Expected's value can be corrupted "
                "by libc++ before 18: return a plain struct or an enum instead");

 public:
  using std::expected<T, E>::expected;
};

namespace internal {

template <typename T>
struct IsUnexpected : std::false_type {};
template <typename E>
struct IsUnexpected<std::unexpected<E>> : std::true_type {};

template <typename E>
std::unexpected<std::decay_t<E>> pass_on(E&& error) {
  return std::unexpected<std::decay_t<E>>(std::forward<E>(error));
}

template <typename E, typename Adapter>
auto pass_on(E&& error, Adapter&& adapter) {
  using Made = std::decay_t<std::invoke_result_t<Adapter, E&&>>;
  if constexpr (IsUnexpected<Made>::value) {
    return std::invoke(std::forward<Adapter>(adapter), std::forward<E>(error));
  } else {
    return std::unexpected<Made>(
        std::invoke(std::forward<Adapter>(adapter), std::forward<E>(error)));
  }
}

}  // namespace internal
}  // namespace varquin::base

#define VARQUIN_CONCAT_INNER_(a, b) a##b
#define VARQUIN_CONCAT_(a, b) VARQUIN_CONCAT_INNER_(a, b)

// Evaluates `expr` (an Expected); on failure returns it from the calling function, through the
// optional adapter; otherwise moves the value into `lhs` (a declaration or an existing variable).
// It expands to more than one statement: under an `if`, give it braces.
#define VARQUIN_ASSIGN_OR_RETURN(lhs, expr, ...)                                    \
  VARQUIN_ASSIGN_OR_RETURN_IMPL_(VARQUIN_CONCAT_(varquin_expected_, __LINE__), lhs, \
                                 expr __VA_OPT__(, ) __VA_ARGS__)

#define VARQUIN_ASSIGN_OR_RETURN_IMPL_(result, lhs, expr, ...)                         \
  auto result = (expr);                                                                \
  if (!result) [[unlikely]] {                                                          \
    return ::varquin::base::internal::pass_on(std::move(result).error() __VA_OPT__(, ) \
                                                  __VA_ARGS__);                        \
  }                                                                                    \
  lhs = std::move(*result)

// Evaluates `expr`, whose value is not needed; on failure returns it from the calling function,
// through the optional adapter.
#define VARQUIN_RETURN_IF_ERROR(expr, ...)                                \
  do {                                                                    \
    if (auto varquin_status_ = (expr); !varquin_status_) [[unlikely]] {   \
      return ::varquin::base::internal::pass_on(                          \
          std::move(varquin_status_).error() __VA_OPT__(, ) __VA_ARGS__); \
    }                                                                     \
  } while (0)
