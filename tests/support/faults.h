// A disk that fails at one exact call, through the platform's fault seam: the operation, the name
// it is made on (an entry's name, or the whole path for calls by path; a name ending in "*" stands
// for every name that begins so), and what it answers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/fault.h"

namespace varquin::testing {

class ScopedFault {
 public:
  ScopedFault(platform::FileOperation operation, std::string name, int error,
              bool after_the_call = false)
      : previous_(platform::set_fault_hook(
            [this, operation, name = std::move(name), error, after_the_call](
                platform::FileOperation asked,
                std::string_view on) -> std::optional<platform::InjectedFault> {
              // Faults nest: one that does not match leaves the call to the one before it.
              if (asked != operation || !matches(name, on)) {
                return previous_ ? previous_(asked, on) : std::nullopt;
              }
              ++hits_;
              return platform::InjectedFault{error, after_the_call};
            })) {}
  ~ScopedFault() { platform::set_fault_hook(std::move(previous_)); }
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;

  // How often the fault was answered: zero means the test never reached the call it meant.
  int hits() const { return hits_; }

 private:
  static bool matches(std::string_view pattern, std::string_view name) {
    if (pattern.ends_with('*')) return name.starts_with(pattern.substr(0, pattern.size() - 1));
    return name == pattern;
  }

  platform::FaultHook previous_;
  int hits_ = 0;
};

}  // namespace varquin::testing
