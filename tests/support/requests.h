// Request frames as the extension sends them, built with the product's JSON writer (so any name or
// path is escaped as the bridge expects), for the tests and the stress driver.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varquin::testing::request {

std::string ping(const std::string& id);
// Without a size, "expectedSize" is null.
std::string begin(const std::string& id, const std::string& name,
                  std::optional<std::uint64_t> expected_size = std::nullopt);
// `base64` goes over as given (tests send malformed text too).
std::string chunk(const std::string& id, unsigned sequence, const std::string& base64);
// The same for raw bytes, which it encodes.
std::string chunk_of(const std::string& id, unsigned sequence, const std::string& bytes);
std::string commit(const std::string& id);
std::string launch(const std::string& id);
std::string stage_download(const std::string& id, const std::string& path, const std::string& name);
std::string cleanup(const std::string& id, const std::string& directory);
// begin, the content in chunks of at most `chunk_bytes`, commit.
std::vector<std::string> upload(const std::string& id, const std::string& name,
                                const std::string& content, std::size_t chunk_bytes);

}  // namespace varquin::testing::request
