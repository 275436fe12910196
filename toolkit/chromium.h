// The Chromium the real-browser test and the browser benchmark drive.
#pragma once

#include <optional>
#include <string>

namespace varquin::toolkit {

// A Chromium that still loads unpacked extensions from the command line (branded Chrome stopped
// in version 137): Debian's, or on macOS Chromium or Google Chrome for Testing;
// VARQUIN_TEST_BROWSER names another. None when there is none.
std::optional<std::string> find_chromium();

}  // namespace varquin::toolkit
