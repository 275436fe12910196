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

std::unexpected<BridgeError> heartbeat_failure(std::string_view prefix, std::string_view detail) {
  return fail(prefix, detail, ErrorCode::HeartbeatFailed);
}

// ".browser-extension-heartbeat.json.<uuid>.tmp": hidden, and unique to this attempt so two
// bridges starting together never write the same temporary file.
Result<std::string> temporary_name() {
  auto uuid = util::random_uuid_v4();
  // The write step owns the random source's failure: without a name there is nothing to write.
  if (!uuid) return heartbeat_failure("Unable to write heartbeat: ", uuid.error().text());
  std::string name = ".";
  name += kHeartbeatFileName;
  name += '.';
  name += util::format_uuid_hyphenated(*uuid);
  name += ".tmp";
  return name;
}

Status write_file(const platform::Directory& directory, const std::string& name,
                  std::string_view bytes) {
  auto file = directory.create_file(name);
  if (!file) return heartbeat_failure("Unable to write heartbeat: ", file.error().text());
  auto written = platform::write_all(
      file->get(), std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  if (!written) return heartbeat_failure("Unable to write heartbeat: ", written.error().text());
  // The heartbeat is advisory: no sync, a lost one is rewritten on the next start.
  return {};
}

}  // namespace

Status record_heartbeat(const BridgeConfig& config) {
  return record_heartbeat_at(config, platform::utc_now());
}

Status record_heartbeat_at(const BridgeConfig& config, platform::WallTime now) {
  // Written relative to the directory held open, which was reached without following a link.
  auto directory = platform::Directory::create(config.electron_user_data_path);
  if (!directory) {
    return heartbeat_failure("Unable to create heartbeat directory: ", directory.error().text());
  }
  VARQUIN_ASSIGN_OR_RETURN(auto temporary, temporary_name());

  auto bytes = json::ObjectWriter(json::Style::Compact)
                   .string("schema", kHeartbeatSchema)
                   .string("extensionId", config.extension_id)
                   .string("lastSeenAt", util::format_rfc3339_millis_z(now))
                   .finish();
  if (!bytes) return heartbeat_failure("Unable to serialize heartbeat: ", bytes.error());

  if (auto written = write_file(*directory, temporary, *bytes); !written) return written;
  if (auto renamed = directory->rename(temporary, kHeartbeatFileName); !renamed) {
    (void)directory->remove_file(temporary);
    return heartbeat_failure("Unable to publish heartbeat: ", renamed.error().text());
  }
  return {};
}

}  // namespace varquin
