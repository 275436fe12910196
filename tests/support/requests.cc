#include "support/requests.h"

#include <cstdio>
#include <cstdlib>

#include "import_format.h"
#include "json/writer.h"
#include "support/test_support.h"

namespace varquin::testing::request {

namespace {

json::ObjectWriter head(const std::string& id, std::string_view action) {
  json::ObjectWriter writer(json::Style::Compact);
  writer.string("schema", kImportSchema).string("requestId", id).string("action", action);
  return writer;
}

// The builders only ever see UTF-8 text; a failure here is a bug of the test itself.
std::string finish(json::ObjectWriter& writer) {
  auto text = writer.finish();
  if (!text) {
    std::fprintf(stderr, "cannot build a request: %s\n", text.error().c_str());
    std::abort();
  }
  return *text;
}

}  // namespace

std::string ping(const std::string& id) {
  auto writer = head(id, "ping");
  return finish(writer);
}

std::string begin(const std::string& id, const std::string& name,
                  std::optional<std::uint64_t> expected_size) {
  auto writer = head(id, "begin_upload");
  writer.string("source", kGmailSource).string("originalName", name);
  if (expected_size) {
    writer.unsigned_integer("expectedSize", *expected_size);
  } else {
    writer.null("expectedSize");
  }
  return finish(writer);
}

std::string chunk(const std::string& id, unsigned sequence, const std::string& base64) {
  auto writer = head(id, "upload_chunk");
  writer.unsigned_integer("sequence", sequence).string("data", base64);
  return finish(writer);
}

std::string chunk_of(const std::string& id, unsigned sequence, const std::string& bytes) {
  return chunk(id, sequence, base64(bytes));
}

std::string commit(const std::string& id) {
  auto writer = head(id, "commit_upload");
  return finish(writer);
}

std::string launch(const std::string& id) {
  auto writer = head(id, "launch_request");
  return finish(writer);
}

std::string stage_download(const std::string& id, const std::string& path,
                           const std::string& name) {
  auto writer = head(id, "stage_download");
  writer.string("source", kGmailSource).string("filePath", path).string("originalName", name);
  return finish(writer);
}

std::string cleanup(const std::string& id, const std::string& directory) {
  auto writer = head(id, "cleanup_download_container");
  writer.string("requestDirectoryPath", directory);
  return finish(writer);
}

std::vector<std::string> upload(const std::string& id, const std::string& name,
                                const std::string& content, std::size_t chunk_bytes) {
  std::vector<std::string> frames{begin(id, name, content.size())};
  unsigned sequence = 0;
  for (std::size_t at = 0; at < content.size(); at += chunk_bytes) {
    frames.push_back(chunk_of(id, sequence++, content.substr(at, chunk_bytes)));
  }
  frames.push_back(commit(id));
  return frames;
}

}  // namespace varquin::testing::request
