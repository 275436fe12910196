// What the macOS SDK declares that the bridge's Apple branches use, spelled as the SDK spells it,
// so that scripts/check-apple-branches.sh can compile those branches (not run them) on Linux with
// clang and libc++. Only declarations: nothing here is linked or executed.
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#define __MAC_OS_X_VERSION_MIN_REQUIRED 120000
#define st_mtimespec st_mtim  // struct stat's modification time on macOS
#define F_FULLFSYNC 51
#define O_NOFOLLOW_ANY 0x20000000
#define ENOATTR 93

extern "C" {
int fchflags(int fd, unsigned int flags);
}
