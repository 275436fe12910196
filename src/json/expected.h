// What the JSON module returns: a value, or the description of a fault (with its line and column
// when reading) that the caller puts after a prefix of its own.
#pragma once

#include <string>

#include "base/result.h"

namespace varquin::json {

template <typename T>
using Expected = base::Expected<T, std::string>;

}  // namespace varquin::json
