// What the store holds for a request, judged without ever taking a failure to look for an answer:
// only ENOENT and ENOTDIR say that something is not there, and a failure of the environment is
// returned as such ("staging_failed", retryable), never turned into a decision.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"
#include "staging/records.h"

namespace varquin::staging {

// Whether the entry `name` of `directory` is there, links followed. Something that cannot be
// looked at for another reason than the environment's (a link loop, a denied look) counts as
// there: the reading that follows judges it.
Result<bool> entry_present(const platform::Directory& directory, std::string_view name);

// The same for a path, walked as the system walks it.
Result<bool> path_present(const std::string& path);

// The directory `name` of `parent`, or none when there is no directory of that name (nothing, a
// file or a link).
Result<std::optional<platform::Directory>> directory_if_present(const platform::Directory& parent,
                                                                std::string_view name);

// Whether the stage's staged file is the one its manifest describes: named by `filePath` directly
// inside this stage, a regular file (not a link) with no other name, of the manifest's size and
// SHA-256. Read through the stage's descriptor; false for anything else (missing, truncated,
// rewritten, replaced), a failure only when the environment failed.
Result<bool> staged_file_intact(const platform::Directory& stage, const ImportManifest& manifest);

}  // namespace varquin::staging
