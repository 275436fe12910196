#include "platform/path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/directory.h"
#include "platform/fault.h"
#include "platform/open_at.h"

namespace varquin::platform {

OsResult<struct stat> stat_path(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  return with_fault(
      FileOperation::StatFollowing, path, [&]() -> OsResult<struct stat> {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return last_os_error();
        return info;
      });
}

OsResult<struct stat> lstat_path(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  return with_fault(
      FileOperation::Stat, path, [&]() -> OsResult<struct stat> {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return last_os_error();
        return info;
      });
}

OsResult<std::string> real_path(const std::string& path) {
  if (holds_nul(path)) return os_error(EINVAL);
  return with_fault(FileOperation::Resolve, path, [&]() -> OsResult<std::string> {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return last_os_error();
    std::string result(resolved);
    std::free(resolved);
    return result;
  });
}

OsResult<RegularFile> read_regular_file_and_metadata(const std::string& path, std::size_t limit) {
  if (holds_nul(path)) return os_error(EINVAL);
  VARQUIN_ASSIGN_OR_RETURN(const UniqueFd file, with_fault(FileOperation::Open, path, [&] {
                             return open_at(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
                           }));
  RegularFile read;
  VARQUIN_ASSIGN_OR_RETURN(read.content, read_open_file(file.get(), limit, &read.metadata));
  return read;
}

OsResult<std::string> read_regular_file(const std::string& path, std::size_t limit) {
  VARQUIN_ASSIGN_OR_RETURN(auto file, read_regular_file_and_metadata(path, limit));
  return std::move(file.content);
}

}  // namespace varquin::platform
