// Directories held open by descriptor. A path is used once, to reach a directory without following
// any symbolic link; from then on everything is created, opened, inspected, renamed and removed
// relative to the descriptor, so a component renamed or swapped for a link afterwards cannot
// redirect the work. Paths and names holding a NUL byte are refused with EINVAL, and names must be
// single components (no "/", not "", "." or "..").
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.h"
#include "platform/os_error.h"

namespace varquin::platform {

// What one file is, whatever path leads to it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

FileIdentity identity_of(const struct stat& info);
// The identity of the file open at `fd`.
OsResult<FileIdentity> identity_of_fd(int fd);

enum class EntryKind { Regular, Directory, Symlink, Other };

// The kind a `struct stat` mode describes.
EntryKind entry_kind_of(mode_t mode);

// The system reads a path up to its first NUL: one inside would name another file.
bool holds_nul(std::string_view path);

struct DirEntry {
  std::string name;
  // Without following links. Empty when the kind could not be determined; see `error`.
  std::optional<EntryKind> kind;
  std::optional<OsError> error;
};

// Largest file `read_file` and `read_regular_file` accept when not told otherwise.
inline constexpr std::size_t kDefaultReadLimit = 1'048'576;

class Directory {
 public:
  // Walks `path` from "/" (or from the working directory when it is relative), opening each
  // component with O_NOFOLLOW: a symbolic link anywhere in it fails with ELOOP. ".." steps to the
  // parent of the directory reached so far.
  static OsResult<Directory> open(std::string_view path);
  // The same, creating each missing component with mode 0777 (before umask). Another process
  // creating one at the same moment is no error.
  static OsResult<Directory> create(std::string_view path);

  Directory(Directory&&) noexcept = default;
  Directory& operator=(Directory&&) noexcept = default;

  // The path this directory was reached by, for records and comparisons. Never used to reach it
  // again: it may name something else by now.
  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  OsResult<FileIdentity> identity() const;

  OsResult<Directory> open_directory(std::string_view name) const;
  // One directory, mode 0777 (before umask); an existing entry of that name is an error.
  OsStatus create_directory(std::string_view name) const;
  // For writing only; the name must be free (mode 0666 before umask).
  OsResult<UniqueFd> create_file(std::string_view name) const;
  // Read and write, created with 0666 if missing, never truncated, never through a link.
  OsResult<UniqueFd> open_or_create_file(std::string_view name) const;
  // Read only, never through a link, and without waiting: a FIFO or device at the name cannot
  // hold the open. The descriptor is in non-blocking mode.
  OsResult<UniqueFd> open_for_reading(std::string_view name) const;
  // The whole regular file, when it holds at most `limit` bytes: ELOOP for a link, EISDIR for a
  // directory, EINVAL for anything else that is not a regular file, EFBIG past the limit.
  OsResult<std::string> read_file(std::string_view name,
                                  std::size_t limit = kDefaultReadLimit) const;

  OsResult<struct stat> stat(std::string_view name) const;  // does not follow a link
  OsResult<struct stat> stat_following(std::string_view name) const;

  // Renames within this directory, replacing `to` as rename(2) does.
  OsStatus rename(std::string_view from, std::string_view to) const;
  OsStatus remove_file(std::string_view name) const;
  OsStatus remove_empty_directory(std::string_view name) const;

  // The entries (without "." and ".."), typed without following links.
  OsResult<std::vector<DirEntry>> list() const;

 private:
  Directory(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  static OsResult<Directory> walk(std::string_view path, bool create);

  UniqueFd fd_;
  std::string path_;
};

// The entries of the directory open at `fd`, as `Directory::list` gives them; the descriptor
// stays the caller's.
OsResult<std::vector<DirEntry>> list_open_directory(int fd);

// Opens `name` in the directory open at `dir` as a directory, without following it (a link gives
// ELOOP).
OsResult<UniqueFd> open_directory_at(int dir, const std::string& name);

// Reads a regular file by path, following links, with the same bound and refusals as
// `Directory::read_file`, and without ever waiting on a FIFO.
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
