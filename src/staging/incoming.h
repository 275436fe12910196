// A stage under construction: a fresh incoming directory of its store's imports root, held open by
// descriptor so that everything written into it lands in it, wherever its name points by then.
// It ends in one of two ways: it is published onto the stage's name (Store::publish, under the
// lock), or it is discarded when it goes out of scope unpublished. It must not outlive its store.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"

namespace varquin::staging {

class Store;

class IncomingStage {
 public:
  // Creates ".incoming-<request ID>-<32 random hex>" in the store's imports root and opens it.
  static Result<IncomingStage> create(const Store& store, std::string_view request_id);

  IncomingStage(IncomingStage&& other) noexcept;
  IncomingStage& operator=(IncomingStage&&) = delete;
  // Discards an unpublished stage: its directory is retired and removed with everything in it,
  // but only while its name still holds this very directory.
  ~IncomingStage();

  const platform::Directory& directory() const { return directory_; }
  const platform::FileIdentity& identity() const { return identity_; }
  // Its name in the imports root, which the census of its own request leaves out.
  const std::string& name() const { return name_; }

 private:
  friend class Store;
  IncomingStage(const Store& store, std::string request_id, std::string name,
                platform::Directory directory, platform::FileIdentity identity);
  bool holds_this(std::string_view name) const;
  // Renames the directory onto `stage_name` in the imports root, proves that the name now holds
  // this very directory (anything else moved there instead is put back and the call fails), and
  // makes the rename durable (or takes it back).
  Status publish(std::string_view stage_name);
  const platform::Directory& root() const;

  const Store* store_;
  std::string request_id_;
  std::string name_;
  platform::Directory directory_;
  platform::FileIdentity identity_;
  bool settled_ = false;  // published, or moved from
};

}  // namespace varquin::staging
