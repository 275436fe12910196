#include "toolkit/chromium.h"

#include <unistd.h>

#include <cstdlib>

namespace varquin::toolkit {

std::optional<std::string> find_chromium() {
  if (const char* chosen = std::getenv("VARQUIN_TEST_BROWSER")) return std::string(chosen);
  for (const char* candidate : {
#if defined(__APPLE__)
         "/Applications/Chromium.app/Contents/MacOS/Chromium",
             "/Applications/Google Chrome for Testing.app/Contents/MacOS/Google Chrome for Testing",
#else
           "/usr/bin/chromium",
           "/usr/bin/chromium-browser",
#endif
       }) {
    if (::access(candidate, X_OK) == 0) return std::string(candidate);
  }
  return std::nullopt;
}

}  // namespace varquin::toolkit
