#include "harness.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/path.h"
#include "toolkit/fs.h"
#include "toolkit/process.h"
#include "util/uuid.h"

extern char** environ;

namespace varquin::bench {

void die(const std::string& message) {
  std::fprintf(stderr, "varquin-road-bench: %s\n", message.c_str());
  std::exit(2);
}

namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The child's side of one stream; when it is a pipe, our end is kept in `ours`.
toolkit::ChildStream open_stream(Stream stream, bool child_reads, platform::UniqueFd& child_end,
                                 platform::UniqueFd& ours) {
  if (stream == Stream::DevNull) return toolkit::ChildStream::dev_null();
  if (stream == Stream::Inherit) return toolkit::ChildStream::inherit();
  auto pipe = toolkit::make_pipe();
  if (!pipe) die("cannot create a pipe: " + pipe.error().text());
  child_end = std::move(child_reads ? pipe->read : pipe->write);
  ours = std::move(child_reads ? pipe->write : pipe->read);
  return toolkit::ChildStream::from(child_end.get());
}

}  // namespace

Child Child::start(const ChildCommand& invocation) {
  Child child;
  platform::UniqueFd child_input, child_output;  // closed once the child has its copies
  toolkit::ChildCommand start{
      .argv = invocation.argv,
      .environment = invocation.environment,
      .input = open_stream(invocation.input, true, child_input, child.input_),
      .output = open_stream(invocation.output, false, child_output, child.output_),
      .search_path = true};
  auto pid = toolkit::spawn_child(start);
  if (!pid) die("cannot start " + invocation.argv[0] + ": " + pid.error().text());
  child.pid_ = *pid;
  return child;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)) {}

Child::~Child() {
  if (pid_ > 0) (void)wait();
}

ChildExit Child::wait() {
  input_.reset();
  ChildExit exit;
  while (::wait4(pid_, &exit.status, 0, &exit.usage) < 0) {
    if (errno != EINTR) die("cannot wait for a child");
  }
  pid_ = -1;
  output_.reset();
  return exit;
}

double cpu_seconds(const struct rusage& usage) {
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double own_cpu_seconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return cpu_seconds(usage);
}

CommandTime time_command(const ChildCommand& invocation) {
  const auto start = Clock::now();
  ChildExit exit = Child::start(invocation).wait();
  const double elapsed = seconds_since(start);
  if (!WIFEXITED(exit.status) || WEXITSTATUS(exit.status) != 0) {
    die(invocation.argv[0] + " failed");
  }
  return {elapsed, cpu_seconds(exit.usage)};
}

std::vector<std::string> environment_with(const std::vector<std::string>& overrides,
                                          const std::vector<std::string>& drop_prefixes) {
  auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    bool dropped = std::any_of(drop_prefixes.begin(), drop_prefixes.end(),
                               [&](const std::string& p) { return text.starts_with(p); }) ||
                   std::any_of(overrides.begin(), overrides.end(),
                               [&](const std::string& o) { return name_of(o) == name_of(text); });
    if (!dropped) result.emplace_back(text);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

std::optional<std::string> find_in_path(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    std::string candidate(rest.substr(0, colon));
    candidate += '/';
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return std::nullopt;
}

std::uint64_t peak_rss_bytes(const struct rusage& usage) {
#if defined(__APPLE__)
  return static_cast<std::uint64_t>(usage.ru_maxrss);  // bytes on Apple platforms
#else
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // KiB on Linux
#endif
}

std::optional<std::uint64_t> peak_rss_since_exec([[maybe_unused]] pid_t pid) {
#if defined(__linux__)
  auto status = platform::read_regular_file("/proc/" + std::to_string(pid) + "/status");
  if (!status) return std::nullopt;
  const std::size_t at = status->find("VmHWM:");
  if (at == std::string::npos) return std::nullopt;
  return std::strtoull(status->c_str() + at + 6, nullptr, 10) * 1024;  // "VmHWM:  1234 kB"
#else
  return std::nullopt;
#endif
}

void append_frame(std::string& out, std::string_view payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  const char header[4] = {static_cast<char>(n), static_cast<char>(n >> 8),
                          static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
  out.append(header, 4);
  out.append(payload);
}

std::string read_frame_or_die(int fd) {
  std::array<std::uint8_t, 4> header{};
  auto got = platform::read_full(fd, header);
  if (!got || *got != header.size()) die("the bridge closed its output without answering");
  const std::uint32_t n = header[0] | std::uint32_t{header[1]} << 8 |
                          std::uint32_t{header[2]} << 16 | std::uint32_t{header[3]} << 24;
  std::string payload(n, '\0');
  got = platform::read_full(fd, {reinterpret_cast<std::uint8_t*>(payload.data()), n});
  if (!got || *got != n) die("the bridge's answer was cut short");
  return payload;
}

void write_all_or_die(int fd, std::string_view bytes) {
  if (!platform::write_all(fd, bytes_of(bytes))) die("cannot write to a child");
}

ScratchDirectory::ScratchDirectory(const std::string& parent) {
  std::string pattern = parent + "/varquin-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) die("cannot create a directory in " + parent);
  // Resolved, so that the bridge sees the same path as the benchmark.
  auto resolved = platform::real_path(pattern);
  path_ = resolved ? *resolved : pattern;
}

ScratchDirectory::~ScratchDirectory() {
  (void)toolkit::remove_tree(path_);
}

void write_file_or_die(const std::string& path, std::string_view bytes) {
  auto file = toolkit::create_or_truncate_file(path);
  if (!file || !platform::write_all(file->get(), bytes_of(bytes))) die("cannot write " + path);
}

void remove_tree_or_die(const std::string& path) {
  if (!toolkit::remove_tree(path)) die("cannot remove " + path);
}

std::string random_bytes(std::size_t size) {
  // splitmix64: incompressible enough for file systems, and quick to make.
  std::string bytes(size, '\0');
  std::uint64_t state = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(::getpid());
  for (std::size_t i = 0; i < size; i += 8) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::memcpy(bytes.data() + i, &z, std::min<std::size_t>(8, size - i));
  }
  return bytes;
}

std::string new_request_id() {
  auto uuid = util::random_uuid_v4();
  if (!uuid) die("no random source");
  return util::format_uuid_hyphenated(*uuid);
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void warm_page_cache(const std::string& path) {
  auto content = platform::read_regular_file(path, kMaxFileBytes);
  if (!content) die("cannot read " + path);
}

}  // namespace varquin::bench
