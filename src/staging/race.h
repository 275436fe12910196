// A seam for tests of races with other processes: the store calls `race_point` between a check
// and the use it guards, and a test that installed a hook does there, deterministically, what a
// racing process could do at that moment. Only test builds have the hook; elsewhere the call
// compiles to nothing.
#pragma once

#if VARQUIN_TEST_HOOKS
#include <functional>
#endif

namespace varquin::staging {

enum class RacePoint {
  BrowserFileResolve,  // the browser file's path is checked for links; it is resolved next
  BrowserFileOpen,     // the resolved path is checked; the file is opened next
  BrowserFileHashed,   // the open file is hashed; it is read again, for the copy
  IncomingCreated,     // an incoming directory was made; it is opened next
  IncomingPublish,     // an incoming directory is filled; it is renamed onto the stage next
  StageRetire,         // a stage was judged removable; it is renamed away next
  CleanupResolve,      // a download directory's path is checked for links; it is resolved next
  CleanupRemove,       // the resolved path is checked; the directory is opened and removed next
};

#if VARQUIN_TEST_HOOKS

using RaceHook = std::function<void(RacePoint)>;

// Installs `hook` (or none) for the whole process; returns the previous one.
RaceHook set_race_hook(RaceHook hook);

void race_point(RacePoint point);

#else

inline void race_point(RacePoint) {}

#endif

}  // namespace varquin::staging
