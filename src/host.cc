#include "host.h"

#include <span>

#include "config/config.h"
#include "download.h"
#include "heartbeat/heartbeat.h"
#include "platform/fd.h"
#include "protocol/framing.h"
#include "upload.h"

namespace varquin {

namespace {

using protocol::HostRequest;
using protocol::HostResponse;

void write_line(int fd, std::string_view line) {
  // Standard error is the last place to report anything; its own failure has nowhere to go.
  (void)platform::write_all(fd, {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
}

Result<BridgeConfig> pass_startup_gate(std::span<const std::string> arguments) {
  VARQUIN_ASSIGN_OR_RETURN(auto path, default_config_path());
  auto config = BridgeConfig::load(path);
  if (!config) return config;
  VARQUIN_RETURN_IF_ERROR(config->validate_caller_origin(arguments));
  return config;
}

class HostLoop {
 public:
  HostLoop(const BridgeConfig& config, HostStreams streams)
      : config_(config), streams_(streams), frames_(streams.input_fd) {}

  void run() {
    for (;;) {
      auto next = frames_.next();
      if (!next) {
        // The stream position is unknown after a bad frame: answer once and stop.
        (void)protocol::write_framed_json(streams_.output_fd,
                                          HostResponse::failure(std::nullopt, next.error()));
        return;
      }
      if (std::holds_alternative<protocol::EndOfInput>(*next)) return;
      const HostRequest& request = std::get<HostRequest>(*next);
      HostResponse response = respond(request);
      if (auto written = protocol::write_framed_json(streams_.output_fd, response); !written) {
        write_line(streams_.error_fd, "Varquin browser bridge could not write its response: " +
                                          written.error().message + "\n");
        return;
      }
    }
  }

 private:
  HostResponse respond(const HostRequest& request) {
    Result<HostResponse> handled =
        std::visit([&](const auto& body) { return handle(body); }, request.body);
    if (handled) return std::move(*handled);
    return HostResponse::failure(request.request_id(), handled.error());
  }

  Result<HostResponse> handle(const protocol::BeginUpload& r) { return begin_upload(session_, r); }
  Result<HostResponse> handle(const protocol::UploadChunk& r) { return upload_chunk(session_, r); }
  Result<HostResponse> handle(const protocol::CommitUpload& r) {
    return commit_upload(config_, session_, r);
  }
  Result<HostResponse> handle(const protocol::LaunchRequest& r) {
    return launch_request(config_, r);
  }
  Result<HostResponse> handle(const protocol::StageDownload& r) {
    return stage_download(config_, r,
                          [this](std::string_view line) { write_line(streams_.error_fd, line); });
  }
  Result<HostResponse> handle(const protocol::CleanupDownloadContainer& r) {
    return cleanup_download_container(r);
  }
  Result<HostResponse> handle(const protocol::Ping& r) {
    return HostResponse::success(r.request_id, protocol::status::kPong);
  }

  const BridgeConfig& config_;
  HostStreams streams_;
  protocol::FrameReader frames_;
  SessionSlot session_;
};

}  // namespace

int run_host(std::span<const std::string> arguments, HostStreams streams) {
  auto config = pass_startup_gate(arguments);
  if (!config) {
    // Standard input is never read after a failed start.
    (void)protocol::write_framed_json(streams.output_fd,
                                      HostResponse::failure(std::nullopt, config.error()));
    return 0;
  }
  // A missing heartbeat must never keep the extension from being served.
  (void)record_heartbeat(*config);
  // Upload chunks arrive in frames of up to 1 MiB.
  platform::widen_pipe(streams.input_fd, 1 << 20);
  // Single-threaded and unbuffered: the loop is the only reader and writer of the two pipes.
  HostLoop(*config, streams).run();
  return 0;
}

}  // namespace varquin
