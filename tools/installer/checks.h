// The installer's checks of an installation: the configuration, each manifest, and one start of
// the bridge exactly as the browser would start it. Each check prints one verdict line.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "installer/manifest.h"

namespace varquin::installer {

// The diagnosis: one verdict line per rule, under a heading per file. As text, each line is
// printed when it is found; as JSON, the whole document at `finish`.
class Report {
 public:
  explicit Report(std::ostream& out, bool json = false) : out_(out), json_(json) {}

  void section(std::string_view title, std::string_view path);
  void pass(std::string_view what);
  void fail(std::string_view what);
  // Works, but not as it should: does not fail the diagnosis.
  void warn(std::string_view what);
  void skip(std::string_view what);
  void note(std::string_view what);
  int failures() const { return failures_; }
  // The closing summary line, or the JSON document. Call once, at the end.
  void finish();

 private:
  struct Line {
    std::string verdict, text;
  };
  struct Section {
    std::string title, path;
    std::vector<Line> lines;
  };
  void add(std::string_view verdict, std::string_view what);

  std::ostream& out_;
  bool json_;
  std::vector<Section> sections_;
  int failures_ = 0;
  int warnings_ = 0;
};

class ChainCheck;

struct Expectations {
  std::vector<std::string> origins;   // the extensions the installation is for
  std::optional<std::string> bridge;  // the executable the manifests must name
  // Registered for every user: the manifests and the bridge must be root's alone.
  bool system = false;
};

// Loads and validates the configuration and checks that no other user may change it, its
// directories or the app it names; none when the bridge could not use it.
std::optional<BridgeConfig> check_config(Report& report, ChainCheck& chain,
                                         const std::string& config_path);

// Checks the manifest in `directory` (place, who may change it, name, keys, origins, host and who
// may replace it, and that `config` lets the origin in), then starts its host with `config_path`
// and pings it.
void check_manifest(Report& report, ChainCheck& chain, const ManifestDirectory& directory,
                    const Expectations& expected, const std::optional<BridgeConfig>& config,
                    const std::string& config_path);

}  // namespace varquin::installer
