// varquin-road-bench: runs the bridge's two roads, its start-up and its memory use through the
// real executable, measures this machine's limits for the same work in the same run, reads the
// micro-benchmark results, and prints one table of ratios with each target.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/json.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "roads.h"

namespace {

using namespace varquin::bench;

constexpr std::size_t kMiB = 1u << 20;
constexpr const char* kMemoryDirectory = "/dev/shm";

// What this program measures, by the names --only takes; varquin-browser-bench takes others.
enum class Part { Upload, Download, Startup, Memory, Lock };
constexpr std::array<std::string_view, 5> kPartNames = {"upload", "download", "startup", "memory",
                                                        "lock"};

std::string_view name_of(Part part) {
  return kPartNames[static_cast<std::size_t>(part)];
}

bool is_part(std::string_view name) {
  return std::find(kPartNames.begin(), kPartNames.end(), name) != kPartNames.end();
}

struct Options {
  std::string bridge;
  std::string micro_json;
  std::string python_host;
  std::string work_parent;
  int runs = 7;
  int startup_runs = 200;
  std::size_t size = 64 * kMiB;
  std::set<std::string> only;  // empty: everything

  bool wants(Part part) const { return only.empty() || only.contains(std::string(name_of(part))); }
};

[[noreturn]] void usage() {
  std::string parts;
  for (std::string_view name : kPartNames) {
    if (!parts.empty()) parts += '|';
    parts += name;
  }
  std::cerr << "usage: varquin-road-bench --bridge PATH [--micro-json FILE] [--python-host FILE]\n"
               "         [--work-dir DIR] [--runs N] [--startup-runs N] [--size BYTES]\n"
               "         [--only "
            << parts << "]...\n";
  std::exit(2);
}

Options parse_options(int argc, char** argv) {
  Options options;
  const char* tmp = std::getenv("TMPDIR");
  options.work_parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "--bridge") {
      options.bridge = value();
    } else if (arg == "--micro-json") {
      options.micro_json = value();
    } else if (arg == "--python-host") {
      options.python_host = value();
    } else if (arg == "--work-dir") {
      options.work_parent = value();
    } else if (arg == "--runs") {
      options.runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--startup-runs") {
      options.startup_runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--size") {
      options.size = std::strtoull(value().c_str(), nullptr, 10);
    } else if (arg == "--only") {
      options.only.insert(value());
    } else if (arg == "--sweep-runs") {
      (void)value();  // varquin-browser-bench's, given to both by scripts/bench.sh
    } else {
      usage();
    }
  }
  if (options.bridge.empty()) usage();
  return options;
}

std::string ms(double seconds) {
  return format("%.1f ms", seconds * 1e3);
}
std::string us(double seconds) {
  return format("%.0f µs", seconds * 1e6);
}
std::string mib(double bytes) {
  return format("%.1f MiB", bytes / kMiB);
}

struct Row {
  std::string measure, bridge, limit;
  double ratio = NAN;
  std::string target;  // "≤ 1.30", "≥ 10", or "" for information only
  bool met = true;
};

Row ratio_row(std::string measure, std::string bridge, std::string limit, double ratio,
              double bound, bool at_least = false) {
  Row row{std::move(measure), std::move(bridge), std::move(limit), ratio, "", true};
  row.target = (at_least ? "≥ " : "≤ ") + format(bound >= 10 ? "%.0f" : "%.2f", bound);
  row.met = at_least ? ratio >= bound : ratio <= bound;
  return row;
}

std::string parts_text(const Comparison& c) {
  std::string text = ms(c.limit.wall) + " (";
  for (std::size_t i = 0; i < c.limit_parts.size(); ++i) {
    if (i) text += " + ";
    text += c.limit_parts[i].first + " " + format("%.1f", c.limit_parts[i].second * 1e3);
  }
  return text + ")";
}

// CPU time on both sides: steadier than wall time when other work shares the machine.
Row cpu_row(const std::string& road, const Comparison& c) {
  return {
      road + ", CPU time", ms(c.bridge.cpu), ms(c.limit.cpu), c.bridge.cpu / c.limit.cpu, "", true};
}

double to_seconds(double value, const std::string& unit) {
  if (unit == "ns") return value * 1e-9;
  if (unit == "us") return value * 1e-6;
  if (unit == "ms") return value * 1e-3;
  return value;
}

// Each micro-benchmark "X" beside its reference "memcpy: X", from Google Benchmark's JSON.
std::vector<Row> micro_rows(const std::string& path) {
  std::ifstream in(path);
  if (!in) die("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  boost::system::error_code ec;
  auto json = boost::json::parse(text.str(), ec);
  if (ec || !json.is_object()) die(path + " is not Google Benchmark JSON");
  std::vector<std::pair<std::string, double>> times;  // run name → seconds (medians when repeated)
  for (const auto& entry : json.at("benchmarks").as_array()) {
    const auto& b = entry.as_object();
    const bool aggregate = b.at("run_type").as_string() == "aggregate";
    if (aggregate && b.at("aggregate_name").as_string() != "median") continue;
    times.emplace_back(std::string(b.at("run_name").as_string()),
                       to_seconds(b.at("cpu_time").to_number<double>(),
                                  std::string(b.at("time_unit").as_string())));
  }
  auto find = [&](const std::string& name) -> std::optional<double> {
    for (const auto& [n, t] : times)
      if (n == name) return t;
    return std::nullopt;
  };
  std::vector<Row> rows;
  auto show = [](double s) { return s < 1e-6 ? format("%.1f ns", s * 1e9) : us(s); };
  for (const auto& [name, seconds] : times) {
    if (name.starts_with("memcpy: ") || name.starts_with("library: ")) continue;
    if (auto reference = find("memcpy: " + name)) {
      rows.push_back({"micro: " + name, show(seconds), "memcpy " + show(*reference),
                      seconds / *reference, "", true});
    }
    // Where the library offers the same work, its own speed is the limit.
    if (auto library = find("library: " + name)) {
      rows.push_back({"micro: " + name + ", against the library's one-call digest", show(seconds),
                      "library " + show(*library), seconds / *library, "", true});
    }
  }
  return rows;
}

// The load when the run began, where the system tells it: timings on a busy machine stretch.
std::string load_text() {
  std::ifstream in("/proc/loadavg");
  double one_minute = 0;
  if (!(in >> one_minute)) return "";
  return format("; load average %.1f", one_minute) + " on " +
         std::to_string(std::thread::hardware_concurrency()) + " CPUs";
}

void print_table(const std::vector<Row>& rows, const Options& options) {
  std::cout << "\nVarquin browser bridge against this machine's limits (medians of " << options.runs
            << " runs; start-up: " << options.startup_runs << " runs; files in "
            << options.work_parent << load_text() << ")\n\n"
            << "| measure | bridge | limit (same run) | ratio | target | met |\n"
            << "|---|---|---|---|---|---|\n";
  for (const Row& row : rows) {
    std::cout << "| " << row.measure << " | " << row.bridge << " | " << row.limit << " | "
              << (std::isnan(row.ratio) ? "–" : format("%.2f", row.ratio)) << " | "
              << (row.target.empty() ? "info" : row.target) << " | "
              << (row.target.empty() ? "–"
                  : row.met          ? "yes"
                                     : "NO")
              << " |\n";
  }
  std::cout << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  // Only varquin-browser-bench's parts asked for: nothing here.
  if (!options.only.empty() &&
      std::none_of(options.only.begin(), options.only.end(),
                   [](const std::string& part) { return is_part(part); })) {
    return 0;
  }
  const BenchStore store(options.work_parent, options.bridge);
  const std::string size = mib(static_cast<double>(options.size));
  std::vector<Row> rows;

  if (options.wants(Part::Upload) || options.wants(Part::Memory)) {
    std::cerr << "upload road…\n";
    const Comparison up = measure_upload(store, options.size, options.runs);
    if (options.wants(Part::Upload)) {
      rows.push_back(ratio_row("upload " + size + ": begin_upload → staged", ms(up.bridge.wall),
                               parts_text(up), up.ratio, 1.3));
      rows.push_back(cpu_row("upload", up));
    }
    if (options.wants(Part::Memory)) {
      const std::uint64_t idle = idle_rss(store, 5);
      const double growth = static_cast<double>(up.peak_rss) - static_cast<double>(idle);
      const double allowed = static_cast<double>(options.size + 8 * kMiB);
      rows.push_back(ratio_row("memory: peak RSS above idle during the upload",
                               mib(growth) + " (idle " + mib(static_cast<double>(idle)) +
                                   ", peak " + mib(static_cast<double>(up.peak_rss)) + ")",
                               mib(allowed) + " (attachment + 8 MiB)", growth / allowed, 1.0));
    }
  }
  if (options.wants(Part::Download)) {
    std::cerr << "download road…\n";
    const DownloadComparison down = measure_download(store, options.size, options.runs);
    const std::string road = "download " + size + " (" + copy_path_of(store) + ")";
    rows.push_back({road + ": stage_download → staged_and_launched, against one pass",
                    ms(down.one_pass.bridge.wall), parts_text(down.one_pass), down.one_pass.ratio,
                    "", true});
    rows.push_back(ratio_row("download, against the design's floor (two hashes, copy, sync)",
                             ms(down.floor.bridge.wall), parts_text(down.floor), down.floor.ratio,
                             1.1));
    rows.push_back(cpu_row("download (against the design's floor)", down.floor));
  }
  if (options.wants(Part::Lock)) {
    std::cerr << "staging-lock holds…\n";
    const LockHold hold = measure_lock_hold(store, options.size, options.runs);
    // A few milliseconds to list the store, read its records and rename, plus the directory sync
    // that makes the rename durable.
    const double allowed = 0.005 + hold.directory_sync;
    const std::string limit =
        ms(allowed) + " (5 ms + a directory sync " + ms(hold.directory_sync) + ")";
    rows.push_back(ratio_row(
        "staging lock held, upload " + size + " (median; max " + ms(hold.upload_max) + ")",
        ms(hold.upload_median), limit, hold.upload_median / allowed, 1.0));
    rows.push_back(ratio_row(
        "staging lock held, download " + size + " (median; max " + ms(hold.download_max) + ")",
        ms(hold.download_median), limit, hold.download_median / allowed, 1.0));
  }
  if (options.wants(Part::Startup)) {
    std::cerr << "start-up…\n";
    const StartupComparison s = measure_startup(store, options.startup_runs, options.python_host);
    rows.push_back(ratio_row("start-up: spawn → pong", us(s.bridge),
                             "/bin/true " + us(s.true_program), s.bridge / s.true_program, 1.5));
    // The heartbeat's replace-by-rename is file-system work inside the start-up; in memory it
    // shows the bridge's own part. Nothing to add when the files are in memory already.
    if (options.work_parent != kMemoryDirectory && ::access(kMemoryDirectory, W_OK) == 0) {
      const BenchStore in_memory(kMemoryDirectory, options.bridge);
      const StartupComparison m = measure_startup(in_memory, options.startup_runs, "");
      rows.push_back(
          {"start-up, user-data directory in memory (" + std::string(kMemoryDirectory) + ")",
           us(m.bridge), "/bin/true " + us(m.true_program), m.bridge / m.true_program, "", true});
    }
    if (s.python_ran) {
      rows.push_back(ratio_row("start-up: Python host / bridge (speed-up)", us(s.bridge),
                               "Python host " + us(s.python), s.python / s.bridge, 10, true));
    } else {
      rows.push_back(
          {"start-up: Python host", us(s.bridge), "python3 missing: skipped", NAN, "", true});
    }
  }
  if (!options.micro_json.empty()) {
    for (Row& row : micro_rows(options.micro_json)) rows.push_back(std::move(row));
  }
  print_table(rows, options);
  bool all_met = true;
  for (const Row& row : rows) all_met = all_met && row.met;
  std::cout << "\n" << (all_met ? "Every target met." : "Some targets NOT met.") << "\n";
  return all_met ? 0 : 1;
}
