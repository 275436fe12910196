#include "platform/tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <limits>
#include <string>
#include <vector>

#include "platform/fault.h"

namespace varquin::platform {

namespace {

// What a walk does with what it finds. Each call gets the open directory the entry is in.
class TreeVisitor {
 public:
  // An entry that is not a directory, or is no longer one by the time the walk reaches it.
  virtual OsStatus entry(int parent, const DirEntry& entry) = 0;
  // Every entry below the directory `name` of `parent` has been visited.
  virtual OsStatus leave(int parent, const std::string& name) = 0;

 protected:
  ~TreeVisitor() = default;
};

// One directory on the way down: what is left to visit in it, and how to know it again.
struct Level {
  std::vector<DirEntry> entries;
  std::size_t next = 0;
  FileIdentity identity;
  std::string name;  // in the level above; empty for the top
  UniqueFd fd;       // open only while this is the deepest level; the top's is the caller's
};

std::unexpected<TreeError> listing_failure(OsError error) {
  return std::unexpected(TreeError{error, true});
}

// A visitor's failure on one entry.
std::unexpected<TreeError> entry_failure(OsError error) {
  return std::unexpected(TreeError{error, false});
}

OsResult<Level> enter(int fd, std::string name) {
  VARQUIN_ASSIGN_OR_RETURN(auto identity, identity_of_fd(fd));
  VARQUIN_ASSIGN_OR_RETURN(auto entries, list_open_directory(fd));
  return Level{std::move(entries), 0, identity, std::move(name), UniqueFd()};
}

// Re-enters the parent of the directory open at `fd` through "..", which is never a link, and
// only if it is still the directory the walk came down from: a level moved elsewhere while it was
// walked must not lead the walk out of the tree.
OsResult<UniqueFd> reenter_parent(int fd, const FileIdentity& expected) {
  VARQUIN_ASSIGN_OR_RETURN(auto parent, open_directory_at(fd, ".."));
  VARQUIN_ASSIGN_OR_RETURN(auto identity, identity_of_fd(parent.get()));
  if (identity != expected) return os_error(ESTALE);
  return parent;
}

// The entry as it is now, for one that stopped being a directory after it was listed.
std::optional<DirEntry> retyped(int parent, const std::string& name) {
  struct stat info {};
  if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return DirEntry{name, std::nullopt, OsError{errno}};
  }
  return DirEntry{name, entry_kind_of(info.st_mode), std::nullopt};
}

// Depth first below the directory open at `top`, entries before the directory that holds them.
// Holds at most three descriptors of its own at any depth. Entries that vanish while the walk
// runs are skipped.
base::Expected<void, TreeError> walk(int top, TreeVisitor& visitor) {
  std::vector<Level> levels;
  VARQUIN_ASSIGN_OR_RETURN(auto first, enter(top, {}), listing_failure);
  levels.push_back(std::move(first));
  int current = top;
  for (;;) {
    Level& level = levels.back();
    if (level.next < level.entries.size()) {
      const DirEntry entry = level.entries[level.next++];
      std::optional<DirEntry> visit = entry;
      if (entry.kind == EntryKind::Directory) {
        auto child = open_directory_at(current, entry.name);
        if (child) {
          VARQUIN_ASSIGN_OR_RETURN(auto below, enter(child->get(), entry.name), listing_failure);
          below.fd = std::move(*child);
          level.fd.reset();  // re-entered through ".." on the way back
          levels.push_back(std::move(below));
          current = levels.back().fd.get();
          continue;
        }
        const int error = child.error().number;
        if (error != ELOOP && error != ENOTDIR && error != ENOENT)
          return listing_failure(child.error());
        visit = retyped(current, entry.name);
      }
      if (!visit) continue;
      VARQUIN_RETURN_IF_ERROR(visitor.entry(current, *visit), entry_failure);
      continue;
    }
    if (levels.size() == 1) return {};
    const std::string name = std::move(level.name);
    Level& parent = levels[levels.size() - 2];
    if (levels.size() == 2) {
      current = top;
    } else {
      VARQUIN_ASSIGN_OR_RETURN(parent.fd, reenter_parent(current, parent.identity),
                               listing_failure);
      current = parent.fd.get();
    }
    levels.pop_back();
    VARQUIN_RETURN_IF_ERROR(visitor.leave(current, name), entry_failure);
  }
}

class Remover final : public TreeVisitor {
 public:
  OsStatus entry(int parent, const DirEntry& entry) override {
    return unlink_at(parent, entry.name, 0);
  }
  OsStatus leave(int parent, const std::string& name) override {
    return unlink_at(parent, name, AT_REMOVEDIR);
  }

 private:
  static OsStatus unlink_at(int parent, const std::string& name, int flags) {
    return with_fault(FileOperation::Remove, name, [&]() -> OsStatus {
      if (::unlinkat(parent, name.c_str(), flags) != 0 && errno != ENOENT) return last_os_error();
      return {};
    });
  }
};

class ByteCounter final : public TreeVisitor {
 public:
  OsStatus entry(int parent, const DirEntry& entry) override {
    if (!entry.kind) return std::unexpected(entry.error.value_or(OsError{EIO}));
    if (*entry.kind != EntryKind::Regular) return {};
    struct stat info {};
    if (::fstatat(parent, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      // Gone since the listing: it holds nothing any more.
      if (errno == ENOENT) return {};
      return last_os_error();
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    total_ = size > std::numeric_limits<std::uint64_t>::max() - total_
                 ? std::numeric_limits<std::uint64_t>::max()
                 : total_ + size;
    return {};
  }
  OsStatus leave(int, const std::string&) override { return {}; }
  std::uint64_t total() const { return total_; }

 private:
  std::uint64_t total_ = 0;
};

}  // namespace

OsStatus remove_tree(const Directory& parent, std::string_view name) {
  auto top = parent.open_directory(name);
  if (!top) {
    // A link or a file is removed itself; a link is never followed.
    const int error = top.error().number;
    if (error == ELOOP || error == ENOTDIR) return parent.remove_file(name);
    return std::unexpected(top.error());
  }
  Remover remover;
  VARQUIN_RETURN_IF_ERROR(walk(top->fd(), remover),
                          [](const TreeError& failure) { return failure.error; });
  return parent.remove_empty_directory(name);
}

base::Expected<std::uint64_t, TreeError> regular_file_bytes(const Directory& top) {
  ByteCounter counter;
  VARQUIN_RETURN_IF_ERROR(walk(top.fd(), counter));
  return counter.total();
}

}  // namespace varquin::platform
