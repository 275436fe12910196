// Micro-benchmarks of the upload road's hot steps, each beside a memcpy of the same bytes
// (registered as "memcpy: <name>") so that the report can print a ratio.
#include <benchmark/benchmark.h>
#if defined(__APPLE__)
#include <CommonCrypto/CommonDigest.h>
#else
#include <openssl/evp.h>
#endif
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "protocol/framing.h"
#include "staging/attachment_name.h"
#include "util/base64.h"
#include "util/sha256.h"

namespace {

using namespace varquin;

constexpr std::size_t kMiB = 1u << 20;

std::string pseudo_random(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint64_t state = 0x243F6A8885A308D3ull;
  for (char& c : bytes) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    c = static_cast<char>(state >> 56);
  }
  return bytes;
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// An upload_chunk request as large as a frame allows, with its 4-byte length in front.
std::string largest_chunk_frame() {
  const std::string head =
      R"({"action":"upload_chunk","schema":"varquin.browser-import.v1",)"
      R"("requestId":"6f1d2c3b-4a59-4e68-8d7c-0b1a2f3e4d5c","sequence":4294967295,"data":")";
  const std::size_t raw = (protocol::kMaxRequestBytes - head.size() - 2) / 4 * 3;
  const std::string payload = head + util::encode_base64(bytes_of(pseudo_random(raw))) + "\"}";
  const auto n = static_cast<std::uint32_t>(payload.size());
  std::string frame = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)};
  return frame + payload;
}

// The same bytes copied, for the ratio next to each benchmark.
void run_memcpy(benchmark::State& state, std::size_t size) {
  const std::string source = pseudo_random(size);
  std::string target(size, '\0');
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Reads the frame from a regular file (as from the pipe: one kernel copy), parses and validates.
void frame_and_parse(benchmark::State& state) {
  const std::string frame = largest_chunk_frame();
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/varquin-micro-XXXXXX";
  platform::UniqueFd file(::mkstemp(path.data()));
  ::unlink(path.c_str());
  if (!file.valid() || !platform::write_all(file.get(), bytes_of(frame))) {
    state.SkipWithError("cannot write the frame to a temporary file");
    return;
  }
  // One reader for every frame, as in the host loop: its buffer is reused.
  protocol::FrameReader frames(file.get());
  for (auto _ : state) {
    (void)platform::seek_to_start(file.get());
    auto request = frames.next();
    if (!request) state.SkipWithError("the request was refused");
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}

void decode_base64(benchmark::State& state) {
  const std::string text = util::encode_base64(bytes_of(pseudo_random(768 * 1024)));
  std::vector<std::uint8_t> out;
  out.reserve(text.size());
  for (auto _ : state) {
    out.clear();
    if (!util::decode_base64_append(text, out)) state.SkipWithError("refused");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void sha256(benchmark::State& state) {
  const std::string bytes = pseudo_random(kMiB);
  for (auto _ : state) benchmark::DoNotOptimize(util::sha256_hex(bytes_of(bytes)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The library's own fastest way, one call (EVP_Digest; CC_SHA256 on Apple platforms): the limit
// the bridge's hashing is held to.
void library_sha256(benchmark::State& state) {
  const std::string bytes = pseudo_random(kMiB);
  unsigned char digest[64];
  for (auto _ : state) {
#if defined(__APPLE__)
    CC_SHA256(bytes.data(), static_cast<CC_LONG>(bytes.size()), digest);
#else
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
#endif
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// A decomposed name (e + U+0301, U+0308) with an upper-case extension: the NFC work is real.
const std::string kName = "Quartalsbericht Mu\xCC\x88nchen cafe\xCC\x81 2024-03.XLSX";

void normalize_name(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(staging::normalize_original_name(kName));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kName.size()));
}

void register_pair(const std::string& name, void (*run)(benchmark::State&), std::size_t bytes) {
  benchmark::RegisterBenchmark(name.c_str(), run);
  benchmark::RegisterBenchmark(("memcpy: " + name).c_str(),
                               [bytes](benchmark::State& state) { run_memcpy(state, bytes); });
}

}  // namespace

int main(int argc, char** argv) {
  register_pair("frame+parse upload_chunk 1 MiB", frame_and_parse, largest_chunk_frame().size());
  register_pair("Base64 decode 1 MiB", decode_base64, 1024 * 1024);
  register_pair("SHA-256 1 MiB", sha256, kMiB);
  benchmark::RegisterBenchmark("library: SHA-256 1 MiB", library_sha256);
  register_pair("NFC name normalisation", normalize_name, kName.size());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
