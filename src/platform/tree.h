// Whole directory trees, walked by descriptor with a fixed number of descriptors whatever the
// depth: each level is listed, then left, and its parent re-entered through ".." only after its
// identity (device and inode) proves it is still the directory the walk came down from.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/directory.h"
#include "platform/os_error.h"

namespace varquin::platform {

struct TreeError {
  OsError error;
  // A directory of the tree could not be opened or listed (as opposed to one entry failing).
  bool listing;
};

// Removes `name` in `parent` and everything below it without ever following a symbolic link: a
// link is removed itself, never what it names. A tree moved away while it is walked stops the
// walk with ESTALE instead of following it out.
OsStatus remove_tree(const Directory& parent, std::string_view name);

// The total size of the regular files below `top`, at any depth, links not followed, saturating
// at the largest 64-bit value. An entry whose kind or size cannot be read fails the walk; one that
// is gone by then counts nothing.
base::Expected<std::uint64_t, TreeError> regular_file_bytes(const Directory& top);

}  // namespace varquin::platform
