// Which manifest directories one run of the installer writes, checks or cleans: the browsers it
// was asked for, or those this user has used, per user or for every user.
#pragma once

#include <vector>

#include "bridge_connection.h"
#include "installer/browsers.h"
#include "installer/manifest.h"
#include "installer/options.h"

namespace varquin::installer {

// Install: the chosen browsers, by default those used here (per user) or all (system-wide).
// Check: the chosen ones, by default those used here and any that has a manifest.
// Uninstall: the chosen ones, by default every known place.
// --manifest-dir replaces the choice. Several browsers sharing one directory appear once.
tools::Outcome<std::vector<ManifestDirectory>> choose_directories(const Options& options,
                                                                  const Places& places);

}  // namespace varquin::installer
