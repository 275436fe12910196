// One check of a failure for every test: its message (or, ending in ": ", its prefix, which some
// operating-system text must follow), its code and the retryable flag the code implies.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "error.h"

namespace varquin::testing {

// Checks message, code and the retryable flag the code implies. A message ending in ": " is a
// prefix that some operating-system text must follow.
template <typename T>
void expect_failure(const Result<T>& result, std::string_view message, ErrorCode code) {
  ASSERT_FALSE(result.has_value()) << "expected failure: " << message;
  if (message.ends_with(": ")) {
    EXPECT_TRUE(result.error().message.starts_with(message)) << result.error().message;
    EXPECT_GT(result.error().message.size(), message.size());
  } else {
    EXPECT_EQ(result.error().message, message);
  }
  EXPECT_EQ(code_text(result.error().code), code_text(code));
  EXPECT_EQ(result.error().retryable(), code_is_retryable(code));
}

}  // namespace varquin::testing
