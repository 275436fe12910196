// Lexical paths: no file-system access, paths as byte strings. A path is split into its components
// once (ParsedPath); the checks that each look at a part of it take that value instead of splitting
// the text again.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varquin::util {

// A path and its components. Empty components (doubled or trailing "/") are dropped, and so is "."
// anywhere but at the start; ".." is kept as it is (nothing here resolves it). Copies and moves
// keep their components: they are held as positions in the value's own text.
class ParsedPath {
 public:
  explicit ParsedPath(std::string_view path);

  // The path as given.
  const std::string& text() const { return text_; }
  bool absolute() const { return absolute_; }
  std::size_t size() const { return parts_.size(); }
  std::string_view component(std::size_t index) const;
  std::vector<std::string_view> components() const;

  // The last component, unless there is none or it is ".." or "." (as Rust's Path::file_name).
  std::optional<std::string_view> file_name() const;
  // Without its last component; none when it has none (as Rust's Path::parent).
  std::optional<ParsedPath> parent() const;
  // The components joined by "/", after a "/" when absolute: "/a//b/" gives "/a/b".
  std::string joined() const;

  // Equal component by component, and both absolute or both relative; case matters.
  bool same_as(const ParsedPath& other) const;

 private:
  struct Part {
    std::size_t offset;
    std::size_t size;
  };
  ParsedPath(std::string text, bool absolute, std::vector<Part> parts)
      : text_(std::move(text)), absolute_(absolute), parts_(std::move(parts)) {}

  std::string text_;
  bool absolute_ = false;
  std::vector<Part> parts_;
};

bool is_absolute(std::string_view path);

// The components of ParsedPath, as views into `path`: "/a//b/" -> {"a", "b"}.
std::vector<std::string_view> path_components(std::string_view path);

// ParsedPath::same_as on two texts.
bool same_path(std::string_view a, std::string_view b);

// ParsedPath::file_name, as a view into `path`.
std::optional<std::string_view> file_name(std::string_view path);

// The text of ParsedPath::parent: none for "/" or "".
std::optional<std::string> parent_path(std::string_view path);

// `base` / `name`, inserting "/" unless `base` is empty or already ends in "/".
std::string join_path(std::string_view base, std::string_view name);

}  // namespace varquin::util
