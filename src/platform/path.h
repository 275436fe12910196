// The few questions the bridge asks of a path itself, none of which changes anything: its
// metadata with or without following links, its canonical form, and the content of a small file
// read by name (the configuration). Everything that creates, writes, renames or removes goes
// through a Directory held open (platform/directory.h). A path holding a NUL byte is refused with
// EINVAL, since the system would silently cut it there.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "platform/fd.h"
#include "platform/os_error.h"

namespace varquin::platform {

OsResult<struct stat> stat_path(const std::string& path);   // follows symbolic links
OsResult<struct stat> lstat_path(const std::string& path);  // does not follow

// The canonical absolute path, every link, "." and ".." resolved.
OsResult<std::string> real_path(const std::string& path);

// Reads a regular file by path, following links, with the bound and refusals of
// `read_open_file`, and without ever waiting on a FIFO.
OsResult<std::string> read_regular_file(const std::string& path,
                                        std::size_t limit = kDefaultReadLimit);

// A file read whole, and its metadata from the descriptor it was read through.
struct RegularFile {
  std::string content;
  struct stat metadata {};
};
// `read_regular_file`, also giving the file's owner and mode without a second lookup by path.
OsResult<RegularFile> read_regular_file_and_metadata(const std::string& path,
                                                     std::size_t limit = kDefaultReadLimit);

}  // namespace varquin::platform
