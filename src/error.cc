#include "error.h"

namespace varquin {

std::string_view code_text(ErrorCode code) {
  switch (code) {
    case ErrorCode::InvalidRequest:
      return "invalid_request";
    case ErrorCode::InternalError:
      return "internal_error";
    case ErrorCode::FileTooLarge:
      return "file_too_large";
    case ErrorCode::AttachmentSizeMismatch:
      return "attachment_size_mismatch";
    case ErrorCode::StagingFailed:
      return "staging_failed";
    case ErrorCode::RequestConflict:
      return "request_conflict";
    case ErrorCode::RequestMissing:
      return "request_missing";
    case ErrorCode::CapacityExceeded:
      return "capacity_exceeded";
    case ErrorCode::LockTimeout:
      return "lock_timeout";
    case ErrorCode::InvalidFile:
      return "invalid_file";
    case ErrorCode::CleanupFailed:
      return "cleanup_failed";
    case ErrorCode::ConfigMissing:
      return "config_missing";
    case ErrorCode::ConfigInvalid:
      return "config_invalid";
    case ErrorCode::ForbiddenOrigin:
      return "forbidden_origin";
    case ErrorCode::AppLaunchFailed:
      return "app_launch_failed";
    case ErrorCode::HeartbeatFailed:
      return "heartbeat_failed";
  }
  return "internal_error";
}

bool code_is_retryable(ErrorCode code) {
  switch (code) {
    case ErrorCode::InvalidRequest:
    case ErrorCode::FileTooLarge:
    case ErrorCode::RequestConflict:
    case ErrorCode::InvalidFile:
    case ErrorCode::ConfigInvalid:
    case ErrorCode::ForbiddenOrigin:
      return false;
    case ErrorCode::InternalError:
    case ErrorCode::AttachmentSizeMismatch:
    case ErrorCode::StagingFailed:
    case ErrorCode::RequestMissing:
    case ErrorCode::CapacityExceeded:
    case ErrorCode::LockTimeout:
    case ErrorCode::CleanupFailed:
    case ErrorCode::ConfigMissing:
    case ErrorCode::AppLaunchFailed:
    case ErrorCode::HeartbeatFailed:
      return true;
  }
  // Every code is listed above (the compiler says so when one is added); this is not reached.
  return true;
}

}  // namespace varquin
