// Removing an emptied managed download directory, and an emptied "Varquin Inbox" above it.
#pragma once

#include <string>
#include <string_view>

#include "error.h"

namespace varquin::staging {

// Removes directories only (rmdir semantics); a directory that no longer exists is success.
Status cleanup_download_container(std::string_view request_id,
                                  const std::string& request_directory_path);

}  // namespace varquin::staging
