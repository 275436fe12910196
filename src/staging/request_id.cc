#include "staging/request_id.h"

#include <string>

#include "util/uuid.h"

namespace varquin::staging {

RequestIdFault check_request_id(std::string_view request_id) {
  auto uuid = util::parse_uuid(request_id);
  if (!uuid) return RequestIdFault::Invalid;
  std::string canonical = util::format_uuid_hyphenated(*uuid);
  if (request_id.size() != canonical.size()) return RequestIdFault::NotCanonical;
  for (std::size_t i = 0; i < canonical.size(); ++i) {
    char c = request_id[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != canonical[i]) return RequestIdFault::NotCanonical;
  }
  return RequestIdFault::None;
}

std::string_view request_id_fault_message(RequestIdFault fault) {
  return fault == RequestIdFault::NotCanonical ? "The browser import request ID is not canonical"
                                               : "The browser import request ID is invalid";
}

Status validate_request_id(std::string_view request_id) {
  RequestIdFault fault = check_request_id(request_id);
  if (fault == RequestIdFault::None) return {};
  return fail(std::string(request_id_fault_message(fault)), ErrorCode::InvalidFile);
}

}  // namespace varquin::staging
