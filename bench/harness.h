// What the road benchmarks share: starting programs with pipes, waiting for them with their
// resource usage, a steady clock, scratch files, and medians. Benchmark code may stop the run on a
// fault (`die`): it has no caller to return an error to.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.h"

namespace varquin::bench {

// Bound for reading back any file of a run: above the largest attachment a road moves.
inline constexpr std::size_t kMaxFileBytes = std::size_t{128} << 20;

[[noreturn]] void die(const std::string& message);

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// How a child's standard stream is connected.
enum class Stream { Pipe, DevNull, Inherit };

struct ChildCommand {
  std::vector<std::string> argv;  // argv[0] is the program; looked up in PATH when it has no "/"
  std::vector<std::string> environment;  // "NAME=value"; the whole environment of the child
  Stream input = Stream::DevNull;
  Stream output = Stream::DevNull;
};

struct ChildExit {
  int status = 0;  // as waitpid reports it
  struct rusage usage {};
};

// A started child; waited for (after its input is closed) when it goes out of scope unless
// `wait` was called.
class Child {
 public:
  static Child start(const ChildCommand& invocation);
  Child(Child&&) noexcept;
  Child& operator=(Child&&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  int input() const { return input_.get(); }
  int output() const { return output_.get(); }
  void close_input() { input_.reset(); }
  ChildExit wait();

 private:
  Child() = default;
  pid_t pid_ = -1;
  platform::UniqueFd input_, output_;
};

// User plus system time in a usage record, in seconds.
double cpu_seconds(const struct rusage& usage);

// This process's own CPU time so far, in seconds.
double own_cpu_seconds();

struct CommandTime {
  double wall = 0;  // from start to exit
  double cpu = 0;   // the child's user and system time
};

// Starts the invocation, waits for it, and dies unless it exits with status 0.
CommandTime time_command(const ChildCommand& invocation);

// The environment of this process with `overrides` ("NAME=value") replacing or adding entries
// and every variable starting with one of `drop_prefixes` removed.
std::vector<std::string> environment_with(const std::vector<std::string>& overrides,
                                          const std::vector<std::string>& drop_prefixes);

// The first executable `name` in PATH.
std::optional<std::string> find_in_path(std::string_view name);

// Peak resident set size in bytes from a child's usage record.
std::uint64_t peak_rss_bytes(const struct rusage& usage);

// Peak resident set size of a live child since its exec (VmHWM on Linux). Linux counts the
// memory of a parent that started the child with vfork (as posix_spawn does) into the child's
// ru_maxrss, so a large benchmark process would show through; elsewhere none, and ru_maxrss
// serves.
std::optional<std::uint64_t> peak_rss_since_exec(pid_t pid);

// One frame: a 4-byte little-endian length, then the payload.
void append_frame(std::string& out, std::string_view payload);
// Reads one frame; dies when the stream ends or fails first.
std::string read_frame_or_die(int fd);
void write_all_or_die(int fd, std::string_view bytes);

// A directory removed with everything in it when this goes out of scope.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& parent);
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void write_file_or_die(const std::string& path, std::string_view bytes);
void remove_tree_or_die(const std::string& path);
std::string random_bytes(std::size_t size);
std::string new_request_id();

double median(std::vector<double> values);

// `value` through a printf pattern that takes one double ("%.1f ms").
std::string format(const char* pattern, double value);

// Reads the whole file once so that later runs find it in the page cache.
void warm_page_cache(const std::string& path);

}  // namespace varquin::bench
