// The staging store in the diagnosis, and its repair: what the store holds against each of its
// caps, what keeps new imports out and will not clear by itself soon (entries dated more than a
// day ahead of the clock), and the removal of exactly that under the staging lock.
#pragma once

#include <ostream>
#include <string>

#include "bridge_connection.h"
#include "installer/checks.h"

namespace varquin::installer {

// The store under `user_data` against each cap, failing when it refuses every new import, and
// each entry that blocks imports, named.
void check_store(Report& report, const std::string& user_data);

// Takes the staging lock as a bridge does and removes what `check_store` names as blocking, one
// line on `steps` for each; with `dry_run`, says what it would remove and changes nothing. A store
// with nothing to remove (or none at all) is left as it is. The failure says what stopped it.
tools::Outcome<void> repair_store(const std::string& user_data, bool dry_run, std::ostream& steps);

}  // namespace varquin::installer
