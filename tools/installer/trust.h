// Whether anyone untrusted may change what the browser runs or the bridge reads: a file, every
// directory above it, and every symbolic link on the way and what it leads through. The rule for
// one file is platform/ownership.h's, the same the bridge applies to its configuration.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "bridge_connection.h"
#include "installer/checks.h"
#include "platform/ownership.h"

namespace varquin::installer {

struct Trust {
  uid_t user;  // whose files they must be; root is trusted as well
  platform::GroupRule rule;

  // Registered for this user: their own files, root's, and their own group's.
  static Trust for_user();
  // Registered for every user: root's alone.
  static Trust for_system();
  bool system() const { return rule == platform::GroupRule::Never; }
};

// What an installation registered per user or for every user must trust.
Trust trust_for(const Expectations& expected);

struct Exposed {
  std::string path;
  platform::Exposure exposure;
  struct stat metadata;
  bool target;  // the file itself, after any link: what `path`'s reader opens
};

// The components on the way to `path` (absolute) that someone untrusted may change. The walk
// stops quietly where something does not exist yet; anything above it still counts, since
// whoever may write there may create the rest.
tools::Outcome<std::vector<Exposed>> exposed_components(const std::string& path,
                                                        const Trust& trust);

// Whether someone untrusted may change the file at `path` itself (not following a link).
bool file_exposed(const std::string& path, const Trust& trust);

// What is wrong with `exposed` and what to do, in one line.
std::string exposure_fault(const Exposed& exposed, const Trust& trust);

// Reports each exposed component once per diagnosis, however many chains pass through it.
class ChainCheck {
 public:
  explicit ChainCheck(Report& report) : report_(report) {}

  // One FAIL line per component of `path`'s chain not reported yet, or a pass saying that no one
  // else may change `what`.
  void check(const std::string& path, const Trust& trust, const std::string& what);
  // The same for a chain walked already.
  void report(const std::vector<Exposed>& found, const Trust& trust, const std::string& what);

 private:
  Report& report_;
  std::set<std::string> reported_;
  // Every manifest names the same bridge: its chain is walked once per diagnosis.
  std::map<std::tuple<std::string, platform::GroupRule, uid_t>,
           tools::Outcome<std::vector<Exposed>>>
      walked_;
};

}  // namespace varquin::installer
