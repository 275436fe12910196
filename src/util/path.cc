#include "util/path.h"

namespace varquin::util {

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
  return is_absolute(a) == is_absolute(b) && path_components(a) == path_components(b);
}

std::optional<std::string_view> file_name(std::string_view path) {
  auto parts = path_components(path);
  if (parts.empty() || parts.back() == ".." || parts.back() == ".") return std::nullopt;
  return parts.back();
}

std::optional<std::string> parent_path(std::string_view path) {
  auto parts = path_components(path);
  if (parts.empty()) return std::nullopt;
  parts.pop_back();
  std::string parent = is_absolute(path) ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) parent += '/';
    parent += parts[i];
  }
  return parent;
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string joined(base);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

}  // namespace varquin::util
