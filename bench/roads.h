// The bridge measured through its real executable, each figure next to a limit measured in the
// same run on the same machine.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace varquin::bench {

// A configuration and an empty user-data directory in a scratch directory, and the environment
// the bridge is started with.
class BenchStore {
 public:
  BenchStore(const std::string& work_parent, const std::string& bridge);

  const std::string& root() const { return scratch_.path(); }
  const std::string& user_data() const { return user_data_; }
  std::string imports_root() const { return user_data_ + "/browser-imports"; }

  // The bridge as the browser starts it, already past start-up: it has answered one "ping".
  Child start_ready_bridge() const;
  ChildCommand bridge_command() const;

 private:
  ScratchDirectory scratch_;
  std::string bridge_;
  std::string user_data_;
  std::vector<std::string> environment_;
};

std::string ping_frame();
// Fails the run unless the answer is a success with this status.
void expect_status(const std::string& answer, std::string_view status);

// Wall and CPU time of one measured step, in seconds.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

// The bridge against the sum of the limit's parts, run after run (each run measures the bridge,
// then every part). Medians; the ratio is the median of the runs' own ratios, so that a slow
// spell of the shared machine weighs on both sides of the same run.
struct Comparison {
  Timing bridge;
  Timing limit;
  double ratio = 0;
  std::vector<std::pair<std::string, double>> limit_parts;  // wall medians
  std::uint64_t peak_rss = 0;                               // bytes, largest over the runs
};

// begin_upload → "staged" for `size` bytes sent in the largest chunks a frame holds.
Comparison measure_upload(const BenchStore& store, std::size_t size, int runs);

// stage_download → "staged_and_launched" for a file of `size` bytes, against the one-pass limit
// (the fastest hash here, OpenSSL's, then cp and sync) and against the design's own floor: it reads
// the file twice (the digest before the lock, then the copy under it, hashed again to prove it is
// the same), so two hashes, a copy and a sync.
struct DownloadComparison {
  Comparison one_pass;
  Comparison floor;
};
DownloadComparison measure_download(const BenchStore& store, std::size_t size, int runs);

// How long a bridge holds the staging lock for one request of `size` bytes on each road, seen by a
// probe that tries the lock from outside without waiting (medians and maxima, seconds), beside a
// directory sync on the store's file system: the lock should cover deciding and renaming only.
struct LockHold {
  double upload_median = 0, upload_max = 0;
  double download_median = 0, download_max = 0;
  double directory_sync = 0;  // median
};
LockHold measure_lock_hold(const BenchStore& store, std::size_t size, int runs);

struct StartupComparison {
  double bridge = 0, true_program = 0, python = 0;  // seconds, medians
  bool python_ran = false;
};
// Process start → "pong" answered, against /bin/true and, when `python_host` names a script and
// python3 is there, a minimal Python host.
StartupComparison measure_startup(const BenchStore& store, int runs,
                                  const std::string& python_host);

// Peak RSS of a bridge that answered one ping.
std::uint64_t idle_rss(const BenchStore& store, int runs);

// How the download road's copy is made on the store's file system: "clone" when it can share the
// source's blocks, "copy" otherwise.
std::string copy_path_of(const BenchStore& store);

}  // namespace varquin::bench
