// A stage under construction: a fresh incoming directory of the imports root, held open by
// descriptor so that everything written into it lands in it, wherever its name points by then.
// It ends in one of two ways: `publish` renames it onto the stage's name, or it is discarded when
// it goes out of scope unpublished.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"

namespace varquin::staging {

class IncomingStage {
 public:
  // Creates ".incoming-<request ID>-<32 random hex>" in the imports root and opens it.
  static Result<IncomingStage> create(const platform::Directory& imports_root,
                                      std::string_view request_id);

  IncomingStage(IncomingStage&& other) noexcept;
  IncomingStage& operator=(IncomingStage&&) = delete;
  // Discards an unpublished stage: its directory is retired and removed with everything in it,
  // but only while its name still holds this very directory.
  ~IncomingStage();

  const platform::Directory& directory() const { return directory_; }
  const platform::FileIdentity& identity() const { return identity_; }

  // Renames the directory onto `stage_name` in the imports root, then proves that the name now
  // holds this very directory; anything else moved there instead is put back and the call fails.
  Status publish(std::string_view stage_name);

 private:
  IncomingStage(const platform::Directory& root, std::string request_id, std::string name,
                platform::Directory directory, platform::FileIdentity identity);
  bool holds_this(std::string_view name) const;

  const platform::Directory* root_;
  std::string request_id_;
  std::string name_;
  platform::Directory directory_;
  platform::FileIdentity identity_;
  bool settled_ = false;  // published, or moved from
};

}  // namespace varquin::staging
