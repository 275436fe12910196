// The record of which extension last started the bridge, for the desktop app.
#pragma once

#include "config/config.h"
#include "error.h"
#include "platform/clock.h"

namespace varquin {

inline constexpr const char* kHeartbeatFileName = "browser-extension-heartbeat.json";
inline constexpr const char* kHeartbeatSchema = "varquin.browser-extension-heartbeat.v2";

// Writes browser-extension-heartbeat.json in the user-data directory through a uniquely named
// hidden temporary file and one rename.
Status record_heartbeat(const BridgeConfig& config);
Status record_heartbeat_at(const BridgeConfig& config, platform::WallTime now);

}  // namespace varquin
