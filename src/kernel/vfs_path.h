// Path texts of the machine's filesystem. A normalised path starts with "/", has no empty, "." or
// ".." components and no trailing slash; the root is "/". Every function here is pure and total.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

// True when `path` is already in normal form (path_normalize would answer it unchanged).
bool path_is_normal(std::string_view path);

// The normal form of `path`: split at "/", drop empty and "." components, let ".." drop the last kept
// component (never climbing above the root). A relative text is taken from the root: "a/b" -> "/a/b".
std::string path_normalize(std::string_view path);

// `path` resolved against the directory `base`, normalised. An absolute `path` ignores the base;
// an empty one answers the normalised base.
std::string path_join_normalize(std::string_view base, std::string_view path);

// The work of resolving `path` against `base`, in CPU units: resolution looks up each prefix of
// the joined path in turn, so it grows with the number of components times the length (one unit
// for every 64 bytes of that product). Short paths cost nothing.
std::uint64_t path_resolution_work(std::string_view base, std::string_view path);

// The position of the last "/" in `path`, or nothing when it has none.
std::optional<std::size_t> vfs_split_path(std::string_view path);

// The parent text: nothing for "/" and for a text without "/", "/" when the only "/" is the first
// character, else the text before the last "/". The view points into `path`.
std::optional<std::string_view> vfs_parent_path(std::string_view path);

// The last component: "/" for "/", the text after the last "/", or the whole text without one.
// The view points into `path` (or is the literal "/").
std::string_view vfs_file_name(std::string_view path);

// The path of the entry `name` in the directory `parent` ("/" + name under the root).
std::string vfs_child_path(std::string_view parent, std::string_view name);

}  // namespace tw
