// Runs a fuzz target's entry point once over every file named on the command line, or every file
// of a named directory, so that the corpus (seeds and regressions) is replayed as an ordinary test
// with any compiler. A violated invariant aborts, which fails the test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An empty input still gets a valid pointer, as libFuzzer gives.
  static const std::uint8_t kEmpty = 0;
  const auto* data = bytes.empty() ? &kEmpty : reinterpret_cast<const std::uint8_t*>(bytes.data());
  LLVMFuzzerTestOneInput(data, bytes.size());
  return true;
}

// The files to replay, in name order so that a failure names the same input every time.
std::vector<fs::path> inputs_of(const fs::path& path, std::error_code& error) {
  std::vector<fs::path> files;
  if (!fs::is_directory(path, error)) {
    files.push_back(path);
    return files;
  }
  for (const auto& entry : fs::directory_iterator(path, error)) {
    if (entry.is_regular_file(error)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <file or directory>...\n", argv[0]);
    return 2;
  }
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    auto files = inputs_of(argv[i], error);
    if (error) {
      std::fprintf(stderr, "cannot list %s: %s\n", argv[i], error.message().c_str());
      return 1;
    }
    for (const fs::path& file : files) {
      if (!replay(file)) return 1;
      ++count;
    }
  }
  // A corpus that vanished must not pass as a replay of nothing.
  if (count == 0) {
    std::fprintf(stderr, "no inputs found\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
