#include "platform/fault.h"

#if VARQUIN_TEST_HOOKS

#include <utility>

namespace varquin::platform {

namespace {

FaultHook& installed_hook() {
  static FaultHook hook;
  return hook;
}

}  // namespace

FaultHook set_fault_hook(FaultHook hook) {
  return std::exchange(installed_hook(), std::move(hook));
}

std::optional<InjectedFault> injected_fault(FileOperation operation, std::string_view name) {
  if (const FaultHook& hook = installed_hook()) return hook(operation, name);
  return std::nullopt;
}

}  // namespace varquin::platform

#endif
