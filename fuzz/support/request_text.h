// HostRequest as text: a canonical description for comparing two parses, and the wire fields the
// request targets respell.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/request.h"
#include "support/json_text.h"

namespace varquin::fuzz {

std::string_view action_of(const protocol::HostRequest& request);

// The variant's fields in wire order (the order of the array form), "action" not included. An
// absent "expectedSize" is written as null.
std::vector<WireField> wire_fields(const protocol::HostRequest& request, Choices& choices);

// The same fields with every string in its minimal spelling.
std::vector<WireField> plain_fields(const protocol::HostRequest& request);

// Every field with its value; equal descriptions mean equal requests.
std::string describe(const protocol::HostRequest& request);

}  // namespace varquin::fuzz
