#include "installer/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>

#include "platform/fd.h"
#include "platform/path.h"
#include "toolkit/fs.h"
#include "util/path.h"
#include "util/uuid.h"

namespace varquin::installer {

namespace {

std::unexpected<std::string> failure(std::string_view what, const std::string& path,
                                     const platform::OsError& error) {
  return std::unexpected(std::string(what) + " " + path + ": " + error.text());
}

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) (void)toolkit::remove_file(path_);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

Outcome<std::string> temporary_name_for(const std::string& path) {
  auto uuid = util::random_uuid_v4();
  if (!uuid) return std::unexpected("no random source: " + uuid.error().text());
  auto directory = util::parent_path(path).value_or("");
  auto name = std::string(util::file_name(path).value_or("file"));
  return util::join_path(directory, "." + name + "." + util::format_uuid_simple(*uuid) + ".tmp");
}

// mkdir and open leave out what the umask removes, never add to `mode`: set it exactly after.
Outcome<void> create_directories(const std::string& path, mode_t mode) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return {};
    return failure("cannot create the directory", path, platform::OsError{ENOTDIR});
  }
  if (auto parent = util::parent_path(path); parent && !parent->empty() && *parent != path) {
    VARQUIN_RETURN_IF_ERROR(create_directories(*parent, mode));
  }
  if (::mkdir(path.c_str(), mode) != 0) {
    const int error = errno;
    // Another process may have created it in between.
    if (error == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return {};
    return failure("cannot create the directory", path, platform::OsError{error});
  }
  if (::chmod(path.c_str(), mode) != 0) {
    return failure("cannot set the mode of", path, platform::OsError{errno});
  }
  return {};
}

}  // namespace

Outcome<std::optional<std::string>> read_if_present(const std::string& path) {
  auto content = platform::read_regular_file(path);
  if (content) return std::optional<std::string>(std::move(*content));
  if (content.error().number == ENOENT) return std::optional<std::string>();
  return failure("cannot read", path, content.error());
}

Outcome<void> write_atomically(const std::string& path, std::string_view content, Modes modes) {
  if (auto directory = util::parent_path(path); directory && !directory->empty()) {
    VARQUIN_RETURN_IF_ERROR(create_directories(*directory, modes.directory));
  }
  VARQUIN_ASSIGN_OR_RETURN(auto name, temporary_name_for(path));
  // The mode at creation, not only the fchmod below: never more open than `modes`, not even for
  // a moment.
  VARQUIN_ASSIGN_OR_RETURN(
      auto fd, toolkit::create_exclusive_file(name, modes.file),
      [&](const platform::OsError& error) { return failure("cannot create", name, error); });
  TemporaryFile temporary(name);
  if (::fchmod(fd.get(), modes.file) != 0) {
    return failure("cannot set the mode of", name, platform::OsError{errno});
  }
  auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
  if (auto written = platform::write_all(fd.get(), bytes); !written) {
    return failure("cannot write", name, written.error());
  }
  if (auto synced = platform::full_sync(fd.get()); !synced) {
    return failure("cannot sync", name, synced.error());
  }
  fd.reset();
  if (auto renamed = toolkit::rename_path(name, path); !renamed) {
    return failure("cannot move the new file to", path, renamed.error());
  }
  temporary.keep();
  return {};
}

Outcome<std::string> resolve_existing_prefix(const std::string& path) {
  std::string existing = path;
  std::string rest;
  for (;;) {
    auto resolved = platform::real_path(existing);
    if (resolved) return rest.empty() ? *resolved : util::join_path(*resolved, rest);
    if (resolved.error().number != ENOENT) {
      return std::unexpected("cannot resolve " + existing + ": " + resolved.error().text());
    }
    auto name = util::file_name(existing);
    auto parent = util::parent_path(existing);
    if (!name || !parent)
      return std::unexpected("cannot resolve " + path + ": nothing of it exists");
    rest = rest.empty() ? std::string(*name) : util::join_path(*name, rest);
    existing = *parent;
  }
}

Outcome<bool> remove_if_present(const std::string& path) {
  auto removed = toolkit::remove_file(path);
  if (removed) return true;
  if (removed.error().number == ENOENT) return false;
  return failure("cannot remove", path, removed.error());
}

// Built piecewise: GCC 12 warns falsely (-Wrestrict) about "\"" + std::string(...) at -O2.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

}  // namespace varquin::installer
