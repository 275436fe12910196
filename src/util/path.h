// Lexical path helpers: no file-system access, paths as byte strings.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varquin::util {

bool is_absolute(std::string_view path);

// Components without empty ones: "/a//b/" -> {"a", "b"}. "." and ".." are kept as they are.
std::vector<std::string_view> path_components(std::string_view path);

// Equal component by component, and both absolute or both relative; case matters.
bool same_path(std::string_view a, std::string_view b);

// The last component, unless the path has none or ends in ".." (as Rust's Path::file_name).
std::optional<std::string_view> file_name(std::string_view path);

// The path without its last component; none for "/" or "" (as Rust's Path::parent).
std::optional<std::string> parent_path(std::string_view path);

// `base` / `name`, inserting "/" unless `base` is empty or already ends in "/".
std::string join_path(std::string_view base, std::string_view name);

}  // namespace varquin::util
