// Process entry of the Varquin browser bridge, started by the browser for its extension.
#include <csignal>
#include <string>
#include <vector>

#include "host.h"

int main(int argc, char** argv) {
  // A browser that closed our stdout must surface as a write error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return varquin::run_host(arguments);
}
