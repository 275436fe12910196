#include "platform/ownership.h"

#include <gtest/gtest.h>

#include <string>

namespace varquin::platform {
namespace {

constexpr uid_t kUser = 1000;
constexpr uid_t kOther = 12345;
// No such group anywhere: who belongs to it cannot be known.
constexpr gid_t kUnknownGroup = 54321;

struct stat metadata(mode_t mode, uid_t owner, gid_t group) {
  struct stat info {};
  info.st_mode = mode;
  info.st_uid = owner;
  info.st_gid = group;
  return info;
}

TEST(Ownership, WhoElseMayChangeAFile) {
  using enum Exposure;
  struct Case {
    const char* what;
    mode_t mode;
    uid_t owner;
    GroupRule rule;  // Never: judged for root, as what every user runs
    Exposure expected;
  };
  const Case cases[] = {
      {"private file", S_IFREG | 0600, kUser, GroupRule::OwnGroup, None},
      {"readable by all", S_IFREG | 0644, kUser, GroupRule::OwnGroup, None},
      {"root's", S_IFREG | 0644, 0, GroupRule::OwnGroup, None},
      {"another user's", S_IFREG | 0600, kOther, GroupRule::OwnGroup, OtherOwner},
      {"world-writable", S_IFREG | 0666, kUser, GroupRule::OwnGroup, World},
      {"writable by others only", S_IFREG | 0602, kUser, GroupRule::OwnGroup, World},
      {"group-writable, unknown group", S_IFREG | 0660, kUser, GroupRule::OwnGroup, SharedGroup},
      {"group-writable, for every user", S_IFREG | 0664, 0, GroupRule::Never, SharedGroup},
      {"sticky world-writable directory", S_IFDIR | 01777, 0, GroupRule::Never, None},
      {"world-writable directory", S_IFDIR | 0777, 0, GroupRule::Never, World},
      {"another user's sticky directory", S_IFDIR | 01777, kOther, GroupRule::OwnGroup, OtherOwner},
      {"link", S_IFLNK | 0777, kUser, GroupRule::OwnGroup, None},
      {"another user's link", S_IFLNK | 0777, kOther, GroupRule::OwnGroup, OtherOwner},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uid_t user = c.rule == GroupRule::Never ? 0 : kUser;
    EXPECT_EQ(exposure_of(metadata(c.mode, c.owner, kUnknownGroup), user, c.rule), c.expected);
  }
}

TEST(Ownership, AGroupIsTheUsersOwnOnlyWithNoOtherMember) {
  const std::string passwd =
      "root:x:0:0:root:/root:/bin/bash\n"
      "alice:x:1000:1000:Alice:/home/alice:/bin/bash\n"
      "bob:x:1001:1001::/home/bob:/bin/sh\n"
      "carol:x:1002:100::/home/carol:/bin/sh\n";
  const std::string group =
      "root:x:0:\n"
      "users:x:100:\n"
      "alice:x:1000:\n"
      "bob:x:1001:\n"
      "solo:x:50:alice\n"
      "withroot:x:60:root,alice\n"
      "team:x:70:alice,bob\n";
  struct Case {
    const char* what;
    gid_t group;
    std::string group_db, passwd_db;
    bool only_user;
  };
  const Case cases[] = {
      {"Debian's per-user group", 1000, group, passwd, true},
      {"a group listing only the user", 50, group, passwd, true},
      {"root besides the user", 60, group, passwd, true},
      {"another member listed", 70, group, passwd, false},
      {"another user's primary group", 100, group, passwd, false},
      {"another user's own group", 1001, group, passwd, false},
      {"a group found nowhere", 4242, group, passwd, false},
      {"a second entry for the group", 1000, group + "alice2:x:1000:bob\n", passwd, false},
      {"NIS entries elsewhere", 1000, group, passwd + "+::::::\n", false},
      {"NIS groups elsewhere", 1000, group + "+\n", passwd, false},
      {"a malformed line", 1000, group + "broken\n", passwd, false},
      {"an identifier that is not a number", 1000, group, passwd + "eve:x:1x:1000::/:/bin/sh\n",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(group_holds_only(c.group, kUser, c.group_db, c.passwd_db), c.only_user);
  }
}

}  // namespace
}  // namespace varquin::platform
