#include "heartbeat/heartbeat.h"

#include <cstdint>
#include <span>
#include <string>

#include "json/writer.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "util/rfc3339.h"
#include "util/uuid.h"

namespace varquin {

namespace {

constexpr Prefixed heartbeat_failed(std::string_view prefix) {
  return {prefix, ErrorCode::HeartbeatFailed};
}

constexpr Prefixed kWriteFailure = heartbeat_failed("Unable to write heartbeat: ");

// ".browser-extension-heartbeat.json.<uuid>.tmp": hidden, and unique to this attempt so two
// bridges starting together never write the same temporary file.
Result<std::string> temporary_name() {
  // The write step owns the random source's failure: without a name there is nothing to write.
  VARQUIN_ASSIGN_OR_RETURN(auto uuid, util::random_uuid_v4(), kWriteFailure);
  std::string name = ".";
  name += kHeartbeatFileName;
  name += '.';
  name += util::format_uuid_hyphenated(uuid);
  name += ".tmp";
  return name;
}

Status write_file(const platform::Directory& directory, const std::string& name,
                  std::string_view bytes) {
  VARQUIN_ASSIGN_OR_RETURN(auto file, directory.create_file(name), kWriteFailure);
  VARQUIN_RETURN_IF_ERROR(
      platform::write_all(
          file.get(), std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())),
      kWriteFailure);
  // The heartbeat is advisory: no sync, a lost one is rewritten on the next start.
  return {};
}

}  // namespace

Status record_heartbeat(const BridgeConfig& config) {
  return record_heartbeat_at(config, platform::utc_now());
}

Status record_heartbeat_at(const BridgeConfig& config, platform::WallTime now) {
  // Written relative to the directory held open, which was reached without following a link.
  VARQUIN_ASSIGN_OR_RETURN(auto directory,
                           platform::Directory::create(config.electron_user_data_path),
                           heartbeat_failed("Unable to create heartbeat directory: "));
  VARQUIN_ASSIGN_OR_RETURN(auto temporary, temporary_name());
  VARQUIN_ASSIGN_OR_RETURN(auto bytes,
                           json::ObjectWriter(json::Style::Compact)
                               .string("schema", kHeartbeatSchema)
                               .string("extensionId", config.extension_id)
                               .string("lastSeenAt", util::format_rfc3339_millis_z(now))
                               .finish(),
                           heartbeat_failed("Unable to serialize heartbeat: "));
  VARQUIN_RETURN_IF_ERROR(write_file(directory, temporary, bytes));
  if (auto renamed = directory.rename(temporary, kHeartbeatFileName); !renamed) {
    (void)directory.remove_file(temporary);
    return heartbeat_failed("Unable to publish heartbeat: ")(renamed.error());
  }
  return {};
}

}  // namespace varquin
