// A seam for tests of a failing disk: each file operation of the platform asks `injected_fault`
// first, and a test that installed a hook answers there, deterministically, with the failure a
// device or a racing process could cause at that very call (before the call, or after it has
// taken effect, as a mkdir that created the directory and still reported EIO). Only test builds
// have the hook; elsewhere the question compiles to nothing.
#pragma once

#include <optional>
#include <string_view>

#include "platform/os_error.h"

#if VARQUIN_TEST_HOOKS
#include <functional>
#endif

namespace varquin::platform {

enum class FileOperation {
  Stat,             // metadata of an entry or a path, links not followed
  StatFollowing,    // the same, following links
  Open,             // opening an entry or a path for reading
  Read,             // reading an open file (the name is empty)
  CreateDirectory,  // mkdir
  CreateFile,       // exclusive creation
  Rename,           // the name is the entry renamed
  Remove,           // unlink or rmdir of an entry, in a tree too
  List,             // listing a directory (the name is its path)
  Resolve,          // realpath
  Sync,             // making an open file durable (the name is empty)
};

struct InjectedFault {
  int error;
  bool after_the_call = false;  // the call takes effect, then fails
};

#if VARQUIN_TEST_HOOKS

using FaultHook = std::function<std::optional<InjectedFault>(FileOperation, std::string_view name)>;

// Installs `hook` (or none) for the whole process; returns the previous one.
FaultHook set_fault_hook(FaultHook hook);

std::optional<InjectedFault> injected_fault(FileOperation operation, std::string_view name);

#else

inline std::optional<InjectedFault> injected_fault(FileOperation, std::string_view) {
  return std::nullopt;
}

#endif

// Makes `call` (returning an OsResult or OsStatus) subject to the hook: an injected failure
// before the call stands in its place, one after it replaces its success.
template <typename Call>
auto with_fault(FileOperation operation, std::string_view name, Call call) -> decltype(call()) {
  const std::optional<InjectedFault> fault = injected_fault(operation, name);
  if (fault && !fault->after_the_call) return os_error(fault->error);
  auto result = call();
  if (fault && result) return os_error(fault->error);
  return result;
}

}  // namespace varquin::platform
