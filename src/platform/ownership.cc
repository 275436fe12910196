#include "platform/ownership.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include "platform/path.h"

namespace varquin::platform {

namespace {

constexpr uid_t kRoot = 0;

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

template <typename Id>
bool parse_id(std::string_view text, Id& out) {
  unsigned long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return false;
  out = static_cast<Id>(value);
  return static_cast<unsigned long>(out) == value;
}

// The records of an account file, each split into its fields; none when a line is malformed or
// refers to entries kept elsewhere (NIS "+"/"-"), so that nothing is judged on part of it.
bool records_of(std::string_view db, std::size_t min_fields,
                std::vector<std::vector<std::string_view>>& records) {
  for (std::string_view line : split(db, '\n')) {
    if (line.empty()) continue;
    if (line.front() == '+' || line.front() == '-') return false;
    auto fields = split(line, ':');
    if (fields.size() < min_fields) return false;
    records.push_back(std::move(fields));
  }
  return true;
}

bool is_private_group(gid_t group, uid_t user) {
#if defined(__APPLE__)
  // macOS has no per-user groups (every user's primary group is staff), and its memberships may
  // be nested or come from a network directory, which cannot be listed soundly: any group but
  // the administrators, who may become root anyway, may hold another user.
  constexpr gid_t kAdministrators = 80;  // "admin"
  (void)user;
  return group == kAdministrators;
#else
  // A large site's account files can be long; past this the group counts as shared.
  constexpr std::size_t kAccountsLimit = std::size_t{16} << 20;
  // Read once per process: the installer asks about every component of several paths.
  struct Accounts {
    OsResult<std::string> groups, users;
  };
  static const Accounts accounts{read_regular_file("/etc/group", kAccountsLimit),
                                 read_regular_file("/etc/passwd", kAccountsLimit)};
  return accounts.groups && accounts.users &&
         group_holds_only(group, user, *accounts.groups, *accounts.users);
#endif
}

bool writes_count(const struct stat& info) {
  // Only an entry's owner may rename or remove it in a sticky directory; a link's mode is unused.
  if (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0) return false;
  return !S_ISLNK(info.st_mode);
}

std::string mode_text(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

Exposure exposure_of(const struct stat& info, uid_t user, GroupRule rule) {
  if (info.st_uid != user && info.st_uid != kRoot) return Exposure::OtherOwner;
  if (!writes_count(info)) return Exposure::None;
  if ((info.st_mode & S_IWOTH) != 0) return Exposure::World;
  if ((info.st_mode & S_IWGRP) == 0) return Exposure::None;
  if (rule == GroupRule::OwnGroup && is_private_group(info.st_gid, user)) return Exposure::None;
  return Exposure::SharedGroup;
}

std::string describe_exposure(Exposure exposure, const struct stat& info, GroupRule rule) {
  switch (exposure) {
    case Exposure::None:
      return {};
    case Exposure::OtherOwner:
      return "it is owned by another user (uid " + std::to_string(info.st_uid) + ")";
    case Exposure::SharedGroup:
      return "it is writable by group " + std::to_string(info.st_gid) +
             (rule == GroupRule::Never ? "" : ", which other users belong to or may join") +
             " (mode " + mode_text(info.st_mode) + ")";
    case Exposure::World:
      return "it is writable by every user (mode " + mode_text(info.st_mode) + ")";
  }
  return {};
}

uid_t effective_user() {
  return ::geteuid();
}

bool group_holds_only(gid_t group, uid_t user, std::string_view group_db,
                      std::string_view passwd_db) {
  std::vector<std::vector<std::string_view>> users, groups;
  if (!records_of(passwd_db, 4, users) || !records_of(group_db, 4, groups)) return false;
  // The names the user and root go by; anyone else whose primary group this is, is a member.
  std::vector<std::string_view> trusted;
  for (const auto& fields : users) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (!parse_id(fields[2], uid) || !parse_id(fields[3], gid)) return false;
    if (uid == user || uid == kRoot) {
      trusted.push_back(fields[0]);
    } else if (gid == group) {
      return false;
    }
  }
  bool found = false;
  for (const auto& fields : groups) {
    gid_t gid = 0;
    if (!parse_id(fields[2], gid)) return false;
    if (gid != group) continue;
    found = true;
    for (std::string_view member : split(fields[3], ',')) {
      if (member.empty()) continue;
      if (std::find(trusted.begin(), trusted.end(), member) == trusted.end()) return false;
    }
  }
  return found;
}

}  // namespace varquin::platform
