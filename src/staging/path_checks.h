// The path rules the staging operations share: what an incoming directory is, what a managed
// download directory is, and the refusal of links in a path.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "platform/directory.h"
#include "staging/errors.h"
#include "util/path.h"

namespace varquin::staging {

// A name the bridge gives an incoming directory: ".incoming-<request ID>-<32 lower-case hex>".
bool is_incoming_name(std::string_view name);

// An entry of `root` with an incoming directory's name that is itself a directory (not a link to
// one).
bool is_valid_incoming_directory(const platform::Directory& root, std::string_view name);

// A name the bridge gives what it retires: ".retired-<request ID>-<32 lower-case hex>".
bool is_retired_name(std::string_view name);

// The last component is `request_id` and the one before it is "Varquin Inbox".
bool has_managed_request_segments(const util::ParsedPath& path, std::string_view request_id);

// Refuses a path any of whose components, from itself up to the root, is a symbolic link or
// cannot be inspected; a failure of the environment while inspecting takes the road's code.
Status reject_symlink_or_reparse_components(const util::ParsedPath& path,
                                            Road road = Road::Staging);

}  // namespace varquin::staging
