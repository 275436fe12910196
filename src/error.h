// BridgeError: the failure value of every fallible operation, and the protocol's code table.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "base/result.h"

namespace varquin {

// Codes are the protocol's own vocabulary; each carries its fixed retryable flag.
enum class ErrorCode {
  InvalidRequest,
  InternalError,
  FileTooLarge,
  AttachmentSizeMismatch,
  StagingFailed,
  RequestConflict,
  RequestMissing,
  CapacityExceeded,
  LockTimeout,
  InvalidFile,
  CleanupFailed,
  ConfigMissing,
  ConfigInvalid,
  ForbiddenOrigin,
  AppLaunchFailed,
  HeartbeatFailed,
};

// The wire text of a code ("invalid_request", ...).
std::string_view code_text(ErrorCode code);

// Environment failures are retryable; failures of the request or of stored data are not.
bool code_is_retryable(ErrorCode code);

struct BridgeError {
  std::string message;
  ErrorCode code;

  BridgeError(std::string msg, ErrorCode c) : message(std::move(msg)), code(c) {}
  // From the code table, never stored apart from it.
  bool retryable() const { return code_is_retryable(code); }
};

template <typename T>
using Result = base::Expected<T, BridgeError>;
using Status = base::Expected<void, BridgeError>;

inline std::unexpected<BridgeError> fail(std::string message, ErrorCode code) {
  return std::unexpected(BridgeError(std::move(message), code));
}

// A fixed prefix ending in ": " followed by a lower-level description.
inline std::unexpected<BridgeError> fail(std::string_view prefix, std::string_view detail,
                                         ErrorCode code) {
  std::string message(prefix);
  message += detail;
  return fail(std::move(message), code);
}

// The adapter of VARQUIN_ASSIGN_OR_RETURN and VARQUIN_RETURN_IF_ERROR that turns a lower-level
// failure into a BridgeError: `prefix` followed by the failure's description (its `text()`, as
// an OsError gives it, or the failure itself when it is text, as a parser's description is).
// Where `code` calls the failure a fault of the request or of stored data, a failure that is the
// environment's (its `environmental()`) is given `environment_code` instead: a disk that failed
// says nothing about the request, and the same request may succeed later.
struct Prefixed {
  std::string_view prefix;
  ErrorCode code;
  ErrorCode environment_code = code;

  template <typename Failure>
  std::unexpected<BridgeError> operator()(const Failure& failure) const {
    if constexpr (requires { failure.environmental(); }) {
      return fail(prefix, failure.text(), failure.environmental() ? environment_code : code);
    } else if constexpr (requires { failure.text(); }) {
      return fail(prefix, failure.text(), code);
    } else {
      return fail(prefix, std::string_view(failure), code);
    }
  }
};

}  // namespace varquin
