// File-system calls by path, each a thin wrapper returning OsError on failure. Paths are byte
// strings in the platform's native form; one holding a NUL byte is refused with EINVAL, since the
// system would silently cut it there. Work that must not be redirected by a path changing under it
// goes through platform/directory.h instead.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/os_error.h"

namespace varquin::platform {

// Creates the directory and missing ancestors with mode 0777 (before umask); existing is fine.
OsStatus create_directories(const std::string& path);
// Creates one directory with mode 0777 (before umask); an existing one is an error.
OsStatus create_directory(const std::string& path);

// Opens for writing only; the file must not exist yet (mode 0666 before umask).
OsResult<UniqueFd> create_exclusive_file(const std::string& path);
// Opens for writing only, creating or truncating (mode 0666 before umask).
OsResult<UniqueFd> create_or_truncate_file(const std::string& path);
// Opens read-only. `nonblocking` keeps a FIFO or device at the path from holding the open.
OsResult<UniqueFd> open_read_only(const std::string& path, bool nonblocking = false);
// Clears O_NONBLOCK again after a non-blocking open.
OsStatus set_blocking(int fd);

// Makes the file's data durable on stable storage (F_FULLFSYNC on Apple platforms).
OsStatus full_sync(int fd);
// `strong(fd)` (F_FULLFSYNC), repeated when interrupted, falling back to fsync on a volume that
// does not support it; what `full_sync` does on Apple platforms, open to tests everywhere.
OsStatus full_sync_using(int fd, int (*strong)(int fd));

OsResult<struct stat> stat_path(const std::string& path);   // follows symbolic links
OsResult<struct stat> lstat_path(const std::string& path);  // does not follow
OsResult<struct stat> stat_fd(int fd);

// The modification time recorded in `info` (st_mtim on Linux, st_mtimespec on Apple platforms).
WallTime modification_time(const struct stat& info);

OsStatus rename_path(const std::string& from, const std::string& to);
OsStatus remove_file(const std::string& path);

// The canonical absolute path, every link, "." and ".." resolved.
OsResult<std::string> real_path(const std::string& path);

// Lists a directory reached without following any link (see Directory::open).
OsResult<std::vector<DirEntry>> list_directory(const std::string& path);

// Removes the path and everything below it without ever following a symbolic link (see
// platform/tree.h); its parent is reached without following any. A link at `path` itself is
// removed, not followed.
OsStatus remove_tree(const std::string& path);

// Advisory whole-file lock.
OsStatus try_lock_exclusive(int fd);
OsStatus unlock(int fd);

}  // namespace varquin::platform
