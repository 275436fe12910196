#include "util/path.h"

#include <utility>

namespace varquin::util {

ParsedPath::ParsedPath(std::string_view path) : text_(path), absolute_(is_absolute(path)) {
  for (std::string_view part : path_components(text_)) {
    parts_.push_back({static_cast<std::size_t>(part.data() - text_.data()), part.size()});
  }
}

std::string_view ParsedPath::component(std::size_t index) const {
  return std::string_view(text_).substr(parts_[index].offset, parts_[index].size);
}

std::vector<std::string_view> ParsedPath::components() const {
  std::vector<std::string_view> all;
  all.reserve(parts_.size());
  for (std::size_t i = 0; i < parts_.size(); ++i) all.push_back(component(i));
  return all;
}

std::optional<std::string_view> ParsedPath::file_name() const {
  if (parts_.empty()) return std::nullopt;
  const std::string_view last = component(parts_.size() - 1);
  if (last == ".." || last == ".") return std::nullopt;
  return last;
}

std::optional<ParsedPath> ParsedPath::parent() const {
  if (parts_.empty()) return std::nullopt;
  std::vector<Part> parts(parts_.begin(), parts_.end() - 1);
  // The text ends where the last kept component does, so that text() names the parent too.
  const std::size_t end =
      parts.empty() ? (absolute_ ? 1 : 0) : parts.back().offset + parts.back().size;
  return ParsedPath(text_.substr(0, end), absolute_, std::move(parts));
}

std::string ParsedPath::joined() const {
  std::string out = absolute_ ? "/" : "";
  for (std::size_t i = 0; i < parts_.size(); ++i) {
    if (i > 0) out += '/';
    out += component(i);
  }
  return out;
}

bool ParsedPath::same_as(const ParsedPath& other) const {
  if (absolute_ != other.absolute_ || parts_.size() != other.parts_.size()) return false;
  for (std::size_t i = 0; i < parts_.size(); ++i) {
    if (component(i) != other.component(i)) return false;
  }
  return true;
}

bool is_absolute(std::string_view path) {
  return !path.empty() && path.front() == '/';
}

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    // "." inside a path is no component of its own, as the lexical comparisons expect.
    if (!part.empty() && !(part == "." && start != 0)) parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

bool same_path(std::string_view a, std::string_view b) {
  return ParsedPath(a).same_as(ParsedPath(b));
}

std::optional<std::string_view> file_name(std::string_view path) {
  auto parts = path_components(path);
  if (parts.empty() || parts.back() == ".." || parts.back() == ".") return std::nullopt;
  return parts.back();
}

std::optional<std::string> parent_path(std::string_view path) {
  auto parent = ParsedPath(path).parent();
  if (!parent) return std::nullopt;
  return parent->joined();
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string joined(base);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

}  // namespace varquin::util
