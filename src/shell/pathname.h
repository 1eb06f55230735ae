// Pathname expansion, the last step of word expansion: a field holding pattern characters
// written unquoted in its word becomes the sorted list of matching paths of the machine's
// filesystem, matched component by component.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct Machine;

// A field as word expansion delivers it.
struct ExpandedField {
    std::string text;     // the field's text, quotes removed
    std::string pattern;  // the same text as a shell pattern: its quoted characters escaped
    bool glob = false;    // an unquoted `*`, `?` or `[` written in the word reached this field
};

// The texts that replace the field in the active process: the field itself when it does not
// qualify (no glob mark, or no component holds a wildcard) or has no match; nothing when it has
// no match and nullglob is enabled; otherwise the matching paths sorted by bytes.
//
// Components without wildcards must name an existing entry (a dangling symbolic link counts);
// wildcard components are matched against directory listings, each listing charged to the CPU
// budget (names + component bytes; a refused charge means no match). A name starting with `.`
// is matched only by a component starting with `.` (or with dotglob). A field ending in `/`
// matches directories only and its results keep the `/`. Relative fields give relative paths.
// nocaseglob makes the matching caseless.
std::vector<std::string> expand_pathnames(Machine& m, const ExpandedField& field);

// Whether an absolute path names an entry, asking /proc and /dev first; the last component's
// symbolic link is not followed, so a dangling link exists.
bool pathname_entry_exists(const Machine& m, std::string_view path);

}  // namespace tw
