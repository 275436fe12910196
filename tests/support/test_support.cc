#include "support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <span>
#include <sstream>
#include <stdexcept>

#include "json/writer.h"
#include "platform/fd.h"
#include "platform/fs.h"
#include "util/base64.h"
#include "util/path.h"
#include "util/sha256.h"

namespace varquin::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/varquin-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // macOS keeps $TMPDIR below /var, a symbolic link the store refuses: use the resolved path.
  auto resolved = platform::real_path(pattern);
  path_ = resolved ? *resolved : pattern;
}

TempDir::~TempDir() {
  // Tests may leave read-only directories behind; make them writable before removal.
  std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) {
  }
  (void)platform::remove_tree(path_);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool path_exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

void make_directories(const std::string& path) {
  if (!platform::create_directories(path)) throw std::runtime_error("cannot create " + path);
}

std::vector<std::string> list_names(const std::string& directory) {
  auto entries = platform::list_directory(directory);
  if (!entries) throw std::runtime_error("cannot list " + directory);
  std::vector<std::string> names;
  for (const auto& entry : *entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

std::string mode_text(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Deeper trees are planted on purpose (10,000 levels): below this depth they are not listed.
constexpr int kSnapshotDepth = 32;

void walk(const std::string& root, const std::string& relative, bool files_only, Snapshot& out,
          int depth = 0) {
  auto entries = platform::list_directory(relative.empty() ? root : root + "/" + relative);
  if (!entries) {
    if (!relative.empty()) out[relative] = "unlistable";
    return;
  }
  for (const auto& entry : *entries) {
    std::string rel = relative.empty() ? entry.name : relative + "/" + entry.name;
    std::string path = root + "/" + rel;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
      out[rel] = "vanished";
      continue;
    }
    if (S_ISDIR(info.st_mode)) {
      if (!files_only) out[rel] = "d " + mode_text(info.st_mode);
      if (depth < kSnapshotDepth) walk(root, rel, files_only, out, depth + 1);
    } else if (S_ISLNK(info.st_mode)) {
      char target[4096];
      ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
      out[rel] = "l " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    } else if (S_ISREG(info.st_mode)) {
      auto content = platform::read_regular_file(path, kMaxFileBytes);
      out[rel] =
          "f " + mode_text(info.st_mode) + " " + std::to_string(info.st_size) + " " +
          (content ? util::sha256_hex(std::span(
                         reinterpret_cast<const std::uint8_t*>(content->data()), content->size()))
                   : "unreadable");
    } else {
      out[rel] = "o " + mode_text(info.st_mode);
    }
  }
}

}  // namespace

Snapshot snapshot_tree(const std::string& root, bool files_only) {
  Snapshot out;
  walk(root, "", files_only, out);
  return out;
}

std::vector<std::string> compare_snapshots(const Snapshot& before, const Snapshot& after) {
  std::vector<std::string> changes;
  for (const auto& [path, description] : before) {
    auto found = after.find(path);
    if (found == after.end()) {
      changes.push_back(path + " is gone");
    } else if (found->second != description) {
      changes.push_back(path + " changed: " + description + " -> " + found->second);
    }
  }
  for (const auto& [path, description] : after) {
    if (!before.count(path)) changes.push_back(path + " appeared: " + description);
  }
  return changes;
}

std::string base64(const std::string& bytes) {
  return util::encode_base64({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

namespace {

void make_parent(const std::string& path) {
  if (auto parent = util::parent_path(path)) make_directories(*parent);
}

}  // namespace

bool make_fifo(const std::string& path) {
  make_parent(path);
  return ::mkfifo(path.c_str(), 0600) == 0;
}

bool make_sparse_file(const std::string& path, off_t size) {
  make_parent(path);
  write_file(path, "");
  return ::truncate(path.c_str(), size) == 0;
}

bool make_deep_tree(const std::string& top, int depth, const std::string& content) {
  make_directories(top);
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; fd >= 0 && level < depth; ++level) {
    const int next =
        ::mkdirat(fd, "d", 0777) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    ::close(fd);
    fd = next;
  }
  if (fd < 0) return false;
  platform::UniqueFd bottom(fd);
  platform::UniqueFd file(
      ::openat(bottom.get(), "bottom.csv", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  return file.valid() && ::write(file.get(), content.data(), content.size()) ==
                             static_cast<ssize_t>(content.size());
}

ScopedDescriptorLimit::ScopedDescriptorLimit(rlim_t soft) : active_(soft > 0) {
  if (!active_ || ::getrlimit(RLIMIT_NOFILE, &saved_) != 0) {
    active_ = false;
    return;
  }
  rlimit lowered = saved_;
  lowered.rlim_cur = soft;
  active_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() {
  if (active_) ::setrlimit(RLIMIT_NOFILE, &saved_);
}

void write_config_file(const std::string& path, const std::string& user_data) {
  auto text = json::ObjectWriter(json::Style::Compact)
                  .string("schema", "varquin.browser-bridge.config.v2")
                  .string("extensionId", kExtensionId)
                  .string("appBundlePath", "/Applications/Varquin.app")
                  .string("electronUserDataPath", user_data)
                  .strings("allowedExtensionOrigins", {kOrigin})
                  .finish();
  if (!text) throw std::runtime_error("cannot build a configuration: " + text.error());
  write_file(path, *text + "\n");
}

BridgeConfig config_for(const std::string& user_data) {
  BridgeConfig config;
  config.schema = "varquin.browser-bridge.config.v2";
  config.extension_id = kExtensionId;
  config.app_bundle_path = "/Applications/Varquin.app";
  config.electron_user_data_path = user_data;
  config.allowed_extension_origins = {kOrigin};
  return config;
}

}  // namespace varquin::testing
