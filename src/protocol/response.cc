#include "protocol/response.h"

#include "json/writer.h"

namespace varquin::protocol {

HostResponse HostResponse::success(std::optional<std::string> request_id, std::string_view status) {
  HostResponse response;
  response.ok = true;
  response.request_id = std::move(request_id);
  response.status = status;
  return response;
}

HostResponse HostResponse::failure(std::optional<std::string> request_id,
                                   const BridgeError& error) {
  HostResponse response;
  response.ok = false;
  response.request_id = std::move(request_id);
  response.code = error.code;
  response.retryable = error.retryable();
  return response;
}

json::Expected<std::string> serialize_response(const HostResponse& response) {
  json::ObjectWriter writer(json::Style::Compact);
  writer.boolean("ok", response.ok);
  if (response.request_id) writer.string("requestId", *response.request_id);
  if (response.status) writer.string("status", *response.status);
  if (response.reused) writer.boolean("reused", *response.reused);
  if (response.code) writer.string("code", code_text(*response.code));
  if (response.retryable) writer.boolean("retryable", *response.retryable);
  return writer.finish();
}

}  // namespace varquin::protocol
