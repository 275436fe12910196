// The bridge process: the start-up gate, then the read-dispatch-respond loop.
#pragma once

#include <span>
#include <string>

namespace varquin {

struct HostStreams {
  int input_fd = 0;
  int output_fd = 1;
  int error_fd = 2;
};

// Runs the host until the browser closes input, a bad message arrives or a response cannot be
// written. `arguments` are the process arguments after the program path. Returns the exit status,
// which is 0 after every orderly stop.
int run_host(std::span<const std::string> arguments, HostStreams streams = {});

}  // namespace varquin
