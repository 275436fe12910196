// The installer's file operations: whole-file reads, atomic replacement, removal.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "bridge_connection.h"

namespace varquin::installer {

using tools::Outcome;

// The file's content, or none when nothing is at `path`.
Outcome<std::optional<std::string>> read_if_present(const std::string& path);

// The permissions of what the installer writes, exact whatever the umask: only the owner may change
// any of it.
struct Modes {
  mode_t file;
  mode_t directory;  // of each directory it creates; existing ones are left as they are
};
// The configuration is the user's alone; manifests are read by the browser, which is the user's
// process for a user's own (so their directories can be private) and anyone's for every user's.
inline constexpr Modes kConfigModes{0600, 0700};
inline constexpr Modes kUserManifestModes{0644, 0700};
inline constexpr Modes kSystemManifestModes{0644, 0755};

// Creates the missing parent directories, writes `content` under a temporary name beside `path`,
// syncs it and renames it over `path`, so a reader sees the old file or the new one, never a part.
// Nothing is ever more open than `modes`, not even for a moment.
Outcome<void> write_atomically(const std::string& path, std::string_view content, Modes modes);

// `path` with every symbolic link, "." and ".." resolved, as far as it exists; the part that does
// not exist yet is appended as given. The bridge refuses a store below a link, so the installer
// writes this form into the configuration.
Outcome<std::string> resolve_existing_prefix(const std::string& path);

// True when a file was removed, false when there was none.
Outcome<bool> remove_if_present(const std::string& path);

// `text` in double quotes, as the installer's messages show a path, a key or a value.
std::string quoted(std::string_view text);

}  // namespace varquin::installer
