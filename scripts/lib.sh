# Shared by the scripts; sourced, never run. bash 3.2-safe (macOS ships that version).

# The number of CPUs, on Linux and macOS alike.
cpu_count() {
  getconf _NPROCESSORS_ONLN 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2
}

is_macos() {
  [ "$(uname -s)" = "Darwin" ]
}
