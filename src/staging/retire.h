// Taking things out of the imports root so that no reader, crash or failed removal ever leaves a
// stage without its manifest or its file, nor a leftover that holds a place in the store: one
// rename first moves the entry to a ".retired-" name, which the census ignores, then it is
// removed; what a failed removal leaves is removed by the next purge, whatever its age.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"

namespace varquin::staging {

// Renames the entry `name` of the imports root to a fresh retired name for `request_id` and
// proves by identity that it moved `expected`; anything else found there is put back and the call
// fails. Returns the retired name, or none when the entry was already gone (another bridge, or the
// desktop app, took it away first).
Result<std::optional<std::string>> rename_retired(const platform::Directory& imports_root,
                                                  std::string_view name,
                                                  std::string_view request_id,
                                                  platform::FileIdentity expected,
                                                  std::string_view failure_prefix);

// Removes a retired tree of the imports root. One already gone (another bridge, or the desktop
// app, removed it at the same moment) is removed.
platform::OsStatus remove_retired(const platform::Directory& imports_root, std::string_view name);

}  // namespace varquin::staging
