// split, rsplit, splitlines, join and replace of str. Pieces are views into the receiver's text
// (the caller makes them into str values); a joined whitespace remainder is owned by the result.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/string/text.h"

namespace tw::py {

struct StrPieces {
    std::vector<std::string_view> views;
    std::unique_ptr<std::string> owned;  // storage of a piece that is not part of the receiver
};

// `sep` absent: whitespace splitting. A negative maxsplit means no limit. ValueError "empty separator".
PyResult<StrPieces> str_split(std::string_view text, std::optional<std::string_view> sep, std::int64_t maxsplit);
PyResult<StrPieces> str_rsplit(std::string_view text, std::optional<std::string_view> sep, std::int64_t maxsplit);
PyResult<std::vector<std::string_view>> str_splitlines(Charges& charges, std::string_view text, bool keepends);

// join of str and bytes: items are added one at a time (one work unit and their length + 32 bytes
// of memory each), then the result's size is charged as memory and work. A total beyond 64 bits
// is the resource error `too_large`.
class Joiner {
public:
    Joiner(std::string_view sep, std::string_view too_large) : sep_(sep), too_large_(too_large) {}
    PyStatus add(Charges& charges, std::string_view item);
    PyResult<std::string> finish(Charges& charges);
    std::uint64_t count() const { return count_; }

private:
    std::string sep_;
    std::string_view too_large_;
    std::string out_;
    std::uint64_t count_ = 0, total_ = 0;  // items and their bytes
};
inline Joiner str_joiner(std::string_view sep) { return Joiner(sep, "joined string is too large"); }

// A negative count means no limit; an empty `old` inserts `with` before every code point and at the end.
PyResult<std::string> str_replace(Charges& charges, std::string_view text, std::string_view old,
                                  std::string_view with, std::int64_t count);

}  // namespace tw::py
