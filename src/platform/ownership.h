// Who besides a user may change a file, judged from its owner and mode: the one rule behind the
// bridge's refusal of a configuration and the installer's checks of everything the browser runs.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace varquin::platform {

enum class Exposure {
  None,         // only the user and root may change it
  OtherOwner,   // owned by another user, who may change its mode and content at will
  SharedGroup,  // writable by a group that holds, or may hold, another user
  World,        // writable by every user
};

enum class GroupRule {
  // Group write is harmless when every member may act as the user anyway: a group with no
  // member but the user and root (Debian's per-user groups), or macOS's administrators.
  OwnGroup,
  // Any group write counts: what every user of the machine runs must be root's alone.
  Never,
};

// `info` is the file's metadata as fstat (or, for a path's components, lstat) gives it; `user`
// is whose file it must be, and root is always trusted. A sticky directory's group and world
// write do not count (only an entry's owner may rename or remove it there), nor does a symbolic
// link's mode, which nothing reads. Costs nothing beyond the comparisons unless the file is
// group-writable; only then is the account database read.
Exposure exposure_of(const struct stat& info, uid_t user, GroupRule rule = GroupRule::OwnGroup);

// Why someone else may change it, e.g. "it is writable by every user (mode 0666)"; empty for
// Exposure::None.
std::string describe_exposure(Exposure exposure, const struct stat& info,
                              GroupRule rule = GroupRule::OwnGroup);

uid_t effective_user();

// Whether `group` has no member but `user` and root, read from the text of /etc/group and
// /etc/passwd: a member is a user the group lists or whose primary group it is. A group that is
// not there, or a database with NIS "+"/"-" lines (whose entries are elsewhere), may have other
// members: false. Linux judges by these files, since the statically linked bridge cannot ask
// the name service switch.
bool group_holds_only(gid_t group, uid_t user, std::string_view group_db,
                      std::string_view passwd_db);

}  // namespace varquin::platform
