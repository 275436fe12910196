// File-system calls by path for the programs around the bridge (the tools, the tests, the stress
// driver and the benchmarks): convenient, and following links as a path lookup does. The bridge
// itself never uses them: it works through directories held open (platform/directory.h), so that
// a path changed under it cannot redirect its work. Paths holding a NUL byte are refused (EINVAL).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/os_error.h"

namespace varquin::toolkit {

// Creates the directory and missing ancestors with mode 0777 (before umask); existing is fine.
platform::OsStatus create_directories(const std::string& path);
// Creates one directory with mode 0777 (before umask); an existing one is an error.
platform::OsStatus create_directory(const std::string& path);

// Opens for writing only; the file must not exist yet (`mode` before umask).
platform::OsResult<platform::UniqueFd> create_exclusive_file(const std::string& path,
                                                             mode_t mode = 0666);
// Opens for writing only, creating or truncating (mode 0666 before umask).
platform::OsResult<platform::UniqueFd> create_or_truncate_file(const std::string& path);
// Opens read-only. `nonblocking` keeps a FIFO or device at the path from holding the open.
platform::OsResult<platform::UniqueFd> open_read_only(const std::string& path,
                                                      bool nonblocking = false);

platform::OsStatus rename_path(const std::string& from, const std::string& to);
platform::OsStatus remove_file(const std::string& path);

// Lists a directory reached without following any link (see Directory::open).
platform::OsResult<std::vector<platform::DirEntry>> list_directory(const std::string& path);

// Removes the path and everything below it without ever following a symbolic link (see
// platform/tree.h); its parent is reached without following any. A link at `path` itself is
// removed, not followed.
platform::OsStatus remove_tree(const std::string& path);

}  // namespace varquin::toolkit
