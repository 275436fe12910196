#include "installer/trust.h"

#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string_view>

#include "installer/files.h"
#include "platform/os_error.h"
#include "platform/path.h"
#include "util/path.h"

namespace varquin::installer {

namespace {

using platform::Exposure;

// As the system resolves paths: past this many links a path is refused anyway.
constexpr int kMaxLinks = 40;

void push_components_front(std::deque<std::string>& pending, std::string_view path) {
  auto parts = util::path_components(path);
  pending.insert(pending.begin(), parts.begin(), parts.end());
}

tools::Outcome<std::string> link_target(const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
  if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
    return std::unexpected("cannot read the link " + path + ": " +
                           platform::OsError{length < 0 ? errno : ENAMETOOLONG}.text());
  }
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// A walk from "/" to one file, following links as the system does, judging each step.
class Walk {
 public:
  explicit Walk(const Trust& trust) : trust_(trust) {}

  // False when the walk reached something that does not exist yet.
  tools::Outcome<bool> step(const std::string& path, bool last) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return false;
      return std::unexpected("cannot inspect " + path + ": " + platform::OsError{errno}.text());
    }
    const Exposure exposure = platform::exposure_of(info, trust_.user, trust_.rule);
    const bool target = last && !S_ISLNK(info.st_mode);
    if (exposure != Exposure::None) found_.push_back({path, exposure, info, target});
    is_link_ = S_ISLNK(info.st_mode);
    return true;
  }
  bool is_link() const { return is_link_; }
  std::vector<Exposed> found() && { return std::move(found_); }

 private:
  const Trust& trust_;
  std::vector<Exposed> found_;
  bool is_link_ = false;
};

// Handing another user's file or directory over is theirs or an administrator's call (it may be
// their home): the way out is a copy in a place of one's own.
std::string owner_remedy(const Trust& trust) {
  if (trust.system()) {
    return "what every user's browser reaches must be root's alone: use a copy where only root "
           "can change it";
  }
  return "its owner decides what it holds: use a copy where only you and root can change it";
}

}  // namespace

Trust Trust::for_user() {
  return {platform::effective_user(), platform::GroupRule::OwnGroup};
}

Trust Trust::for_system() {
  return {0, platform::GroupRule::Never};
}

Trust trust_for(const Expectations& expected) {
  return expected.system ? Trust::for_system() : Trust::for_user();
}

tools::Outcome<std::vector<Exposed>> exposed_components(const std::string& path,
                                                        const Trust& trust) {
  Walk walk(trust);
  std::deque<std::string> pending;
  push_components_front(pending, path);
  std::string current = "/";
  VARQUIN_RETURN_IF_ERROR(walk.step(current, pending.empty()));
  int links = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.front());
    pending.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      current = util::parent_path(current).value_or("/");
      continue;
    }
    const std::string next = util::join_path(current, name);
    VARQUIN_ASSIGN_OR_RETURN(auto exists, walk.step(next, pending.empty()));
    if (!exists) break;
    if (!walk.is_link()) {
      current = next;
      continue;
    }
    if (++links > kMaxLinks) {
      return std::unexpected("cannot follow " + path + ": " + platform::OsError{ELOOP}.text());
    }
    VARQUIN_ASSIGN_OR_RETURN(auto target, link_target(next));
    if (util::is_absolute(target)) current = "/";
    push_components_front(pending, target);
  }
  return std::move(walk).found();
}

std::string exposure_fault(const Exposed& exposed, const Trust& trust) {
  std::string line = exposed.path +
                     (trust.system() ? " may be changed by someone other than root: "
                                     : " may be changed by another user: ") +
                     platform::describe_exposure(exposed.exposure, exposed.metadata, trust.rule) +
                     "; ";
  if (exposed.exposure == Exposure::OtherOwner) return line + owner_remedy(trust);
  const std::string chmod =
      exposed.metadata.st_uid == 0 && trust.user != 0 ? "sudo chmod" : "chmod";
  return line + chmod + " go-w " + quoted(exposed.path);
}

bool file_exposed(const std::string& path, const Trust& trust) {
  auto info = platform::lstat_path(path);
  return info && platform::exposure_of(*info, trust.user, trust.rule) != Exposure::None;
}

void ChainCheck::check(const std::string& path, const Trust& trust, const std::string& what) {
  auto key = std::make_tuple(path, trust.rule, trust.user);
  auto walked = walked_.find(key);
  if (walked == walked_.end()) {
    walked = walked_.emplace(std::move(key), exposed_components(path, trust)).first;
  }
  const auto& found = walked->second;
  if (!found) {
    report_.fail(found.error());
    return;
  }
  report(*found, trust, what);
}

void ChainCheck::report(const std::vector<Exposed>& found, const Trust& trust,
                        const std::string& what) {
  for (const Exposed& exposed : found) {
    if (reported_.insert(exposed.path).second) report_.fail(exposure_fault(exposed, trust));
  }
  if (found.empty()) {
    report_.pass(std::string(trust.system() ? "no one but root" : "no other user") +
                 " may change " + what + " or a directory above it");
  }
}

}  // namespace varquin::installer
