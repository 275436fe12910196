// Copying a whole file by sharing its blocks, where the file system can.
#pragma once

#include <string_view>

#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/os_error.h"

namespace varquin::platform {

// Makes the empty file `to_name` of `directory`, open for writing as `to`, a clone of the whole of
// `from`:
// the two share their data blocks until either is written, so the copy costs no data I/O (Linux:
// the FICLONE ioctl, on Btrfs, XFS and others; Apple platforms: fclonefileat, on APFS). Returns
// true when cloned. Returns false when these files cannot be cloned (a file system without clones,
// or two file systems), leaving the empty file, open as `to`, for an ordinary copy. On Apple
// platforms the clone takes the empty file's place and `to` is reopened onto it, relative to
// `directory` and without following a link. The clone is not durable until `to` is synced.
OsResult<bool> clone_file(int from, UniqueFd& to, const Directory& directory,
                          std::string_view to_name);

}  // namespace varquin::platform
