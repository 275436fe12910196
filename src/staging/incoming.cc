#include "staging/incoming.h"

#include <utility>

#include "platform/fd.h"
#include "staging/errors.h"
#include "staging/paths.h"
#include "staging/race.h"
#include "staging/retire.h"
#include "staging/store.h"

namespace varquin::staging {

namespace {

constexpr std::string_view kCreateFailure = "Unable to create temporary request directory: ";
constexpr std::string_view kPublishFailure = "Unable to publish browser import request: ";

}  // namespace

Result<IncomingStage> IncomingStage::create(const Store& store, std::string_view request_id) {
  const platform::Directory& imports_root = store.imports();
  VARQUIN_ASSIGN_OR_RETURN(auto name, new_incoming_name(request_id));
  if (auto made = imports_root.create_directory(name); !made) {
    // A mkdir can fail after it made the directory (a volume that fails on the way back): the
    // name is fresh and random, so an empty directory under it is the one just made.
    (void)imports_root.remove_empty_directory(name);
    return staging_failed(kCreateFailure)(made.error());
  }
  race_point(RacePoint::IncomingCreated);
  auto directory = imports_root.open_directory(name);
  platform::OsResult<platform::FileIdentity> identity =
      directory ? directory->identity() : std::unexpected(directory.error());
  if (!identity) {
    // Still empty, it is the one just made; a link or a filled directory in its place stays.
    (void)imports_root.remove_empty_directory(name);
    return staging_failed(kCreateFailure)(identity.error());
  }
  return IncomingStage(store, std::string(request_id), std::move(name), std::move(*directory),
                       *identity);
}

IncomingStage::IncomingStage(const Store& store, std::string request_id, std::string name,
                             platform::Directory directory, platform::FileIdentity identity)
    : store_(&store),
      request_id_(std::move(request_id)),
      name_(std::move(name)),
      directory_(std::move(directory)),
      identity_(identity) {}

IncomingStage::IncomingStage(IncomingStage&& other) noexcept
    : store_(other.store_),
      request_id_(std::move(other.request_id_)),
      name_(std::move(other.name_)),
      directory_(std::move(other.directory_)),
      identity_(other.identity_),
      settled_(std::exchange(other.settled_, true)) {}

IncomingStage::~IncomingStage() {
  if (settled_) return;
  // Best effort: the failure that led here is what the caller reports. Retired first, so that a
  // removal that fails half way leaves nothing the census counts.
  auto retired = rename_retired(root(), name_, request_id_, identity_,
                                "Unable to discard temporary request directory: ");
  if (retired && *retired) (void)remove_retired(root(), **retired);
}

const platform::Directory& IncomingStage::root() const {
  return store_->imports();
}

bool IncomingStage::holds_this(std::string_view name) const {
  auto info = root().stat(name);
  return info && platform::identity_of(*info) == identity_;
}

Status IncomingStage::publish(std::string_view stage_name) {
  constexpr std::string_view kReplaced =
      "the incoming directory was replaced before it was published";
  race_point(RacePoint::IncomingPublish);
  if (!holds_this(name_)) return fail(kPublishFailure, kReplaced, ErrorCode::StagingFailed);
  VARQUIN_RETURN_IF_ERROR(root().rename(name_, stage_name), staging_failed(kPublishFailure));
  if (!holds_this(stage_name)) {
    // Whatever was renamed is not this directory: it goes back where it was found.
    (void)root().rename(stage_name, name_);
    return fail(kPublishFailure, kReplaced, ErrorCode::StagingFailed);
  }
  // The stage is there only once its new name is on stable storage; one that may not be is
  // taken back, so that the request's failure leaves no stage behind.
  if (auto synced = platform::full_sync(root().fd()); !synced) {
    (void)root().rename(stage_name, name_);
    return staging_failed(kPublishFailure)(synced.error());
  }
  settled_ = true;
  return {};
}

}  // namespace varquin::staging
