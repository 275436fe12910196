// Shared test fixtures: temporary directories and small file helpers.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/config.h"

namespace varquin::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool path_exists(const std::string& path);  // without following a final link
void make_directories(const std::string& path);
std::vector<std::string> list_names(const std::string& directory);  // sorted
std::string base64(const std::string& bytes);

// Bound for reading back any file of a run: above the largest attachment a stage may hold.
inline constexpr std::size_t kMaxFileBytes = std::size_t{128} << 20;

// Things a hostile process plants, each with its parent directories; false when it could not be.
bool make_fifo(const std::string& path);
// A file of `size` bytes that takes no room: a reader that trusts the size runs out of memory.
bool make_sparse_file(const std::string& path, off_t size);
// `depth` nested directories "d" below `top`, made relative to descriptors (the path passes
// PATH_MAX), with "bottom.csv" holding `content` at the bottom.
bool make_deep_tree(const std::string& top, int depth, const std::string& content);

// Lowers this process's soft limit of open descriptors (inherited by the children it starts)
// until destroyed; 0 leaves it as it is. macOS allows 256 by default.
class ScopedDescriptorLimit {
 public:
  explicit ScopedDescriptorLimit(rlim_t soft);
  ~ScopedDescriptorLimit();
  ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
  ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;

 private:
  bool active_;
  rlimit saved_{};
};

// Every entry below `root` (not following links) with its type, mode, size and content digest;
// `files_only` leaves directories out.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot_tree(const std::string& root, bool files_only = false);
// The differences between two snapshots, for a report; empty when they are equal.
std::vector<std::string> compare_snapshots(const Snapshot& before, const Snapshot& after);

// Writes a valid configuration file for the test extension whose user-data directory is
// `user_data`.
void write_config_file(const std::string& path, const std::string& user_data);

// A valid configuration whose user-data directory is `user_data`.
BridgeConfig config_for(const std::string& user_data);

inline constexpr const char* kExtensionId = "abcdefghijklmnopabcdefghijklmnop";
inline constexpr const char* kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";

}  // namespace varquin::testing
