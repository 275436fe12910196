// The installer's file operations: whole-file reads, atomic replacement, removal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bridge_connection.h"

namespace varquin::installer {

using tools::Outcome;

// The file's content, or none when nothing is at `path`.
Outcome<std::optional<std::string>> read_if_present(const std::string& path);

// Creates the missing parent directories, writes `content` under a temporary name beside `path`,
// syncs it and renames it over `path`, so a reader sees the old file or the new one, never a part.
Outcome<void> write_atomically(const std::string& path, std::string_view content);

// `path` with every symbolic link, "." and ".." resolved, as far as it exists; the part that does
// not exist yet is appended as given. The bridge refuses a store below a link, so the installer
// writes this form into the configuration.
Outcome<std::string> resolve_existing_prefix(const std::string& path);

// True when a file was removed, false when there was none.
Outcome<bool> remove_if_present(const std::string& path);

}  // namespace varquin::installer
