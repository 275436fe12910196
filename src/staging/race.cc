#include "staging/race.h"

#if VARQUIN_TEST_HOOKS

#include <utility>

namespace varquin::staging {

namespace {

RaceHook& installed_hook() {
  static RaceHook hook;
  return hook;
}

}  // namespace

RaceHook set_race_hook(RaceHook hook) {
  return std::exchange(installed_hook(), std::move(hook));
}

void race_point(RacePoint point) {
  if (const RaceHook& hook = installed_hook()) hook(point);
}

}  // namespace varquin::staging

#endif
