// The request-ID rule: a UUID in canonical hyphenated form, in either letter case.
#pragma once

#include <string_view>

#include "error.h"

namespace varquin::staging {

enum class RequestIdFault { None, Invalid, NotCanonical };

// The rule without an error code, for callers that report it with their own code.
RequestIdFault check_request_id(std::string_view request_id);
std::string_view request_id_fault_message(RequestIdFault fault);

// Failures carry "invalid_file".
Status validate_request_id(std::string_view request_id);

}  // namespace varquin::staging
