#include "support/test_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/fs.h"

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
