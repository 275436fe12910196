// A seam for tests of races with other processes: the bridge calls `race_point` between a check
// and the use it guards, and a test that installed a hook does there, deterministically, what a
// racing process could do at that moment. Without a hook it does nothing.
#pragma once

#include <functional>

namespace varquin::platform {

enum class RacePoint {
  BrowserFileResolve,  // the browser file's path is checked for links; it is resolved next
  BrowserFileOpen,     // the resolved path is checked; the file is opened next
  BrowserFileHashed,   // the open file is hashed; it is read again, for the copy, under the lock
  IncomingCreated,     // an incoming directory was made; it is opened next
  IncomingPublish,     // an incoming directory is filled; it is renamed onto the stage next
  StageRetire,         // a stage was judged removable; it is renamed away next
  CleanupResolve,      // a download directory's path is checked for links; it is resolved next
  CleanupRemove,       // the resolved path is checked; the directory is opened and removed next
};

using RaceHook = std::function<void(RacePoint)>;

// Installs `hook` (or none) for the whole process; returns the previous one.
RaceHook set_race_hook(RaceHook hook);

void race_point(RacePoint point);

}  // namespace varquin::platform
