// HostRequest: what the extension asks for, in seven variants tagged by "action".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "error.h"
#include "json/expected.h"

namespace varquin::protocol {

struct BeginUpload {
  static constexpr std::string_view kAction = "begin_upload";
  std::string schema, request_id, source, original_name;
  std::optional<std::uint64_t> expected_size;
};

struct UploadChunk {
  static constexpr std::string_view kAction = "upload_chunk";
  std::string schema, request_id;
  std::uint32_t sequence = 0;
  std::string data;  // Base64
};

struct CommitUpload {
  static constexpr std::string_view kAction = "commit_upload";
  std::string schema, request_id;
};

struct LaunchRequest {
  static constexpr std::string_view kAction = "launch_request";
  std::string schema, request_id;
};

struct StageDownload {
  static constexpr std::string_view kAction = "stage_download";
  std::string schema, request_id, source, file_path, original_name;
};

struct CleanupDownloadContainer {
  static constexpr std::string_view kAction = "cleanup_download_container";
  std::string schema, request_id, request_directory_path;
};

struct Ping {
  static constexpr std::string_view kAction = "ping";
  std::string schema, request_id;
};

struct HostRequest {
  std::variant<BeginUpload, UploadChunk, CommitUpload, LaunchRequest, StageDownload,
               CleanupDownloadContainer, Ping>
      body;

  const std::string& request_id() const;
  // The schema of every action, then the source of the two that carry one.
  Status validate() const;
};

// Parses one request document strictly: the object form (with "action" anywhere) or the array
// form (action first, then every field in order). The error describes the fault.
json::Expected<HostRequest> parse_host_request(std::string_view bytes);

}  // namespace varquin::protocol
