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

// join: items are added one at a time (each charged as it comes), then joined with the separator.
class StrJoiner {
public:
    PyStatus add(Charges& charges, std::string_view item);
    PyResult<std::string> finish(Charges& charges, std::string_view sep);
    std::uint64_t count() const { return offsets_.size(); }

private:
    std::string items_;
    std::vector<std::uint64_t> offsets_;  // end of each item in items_
};

// A negative count means no limit; an empty `old` inserts `with` before every code point and at the end.
PyResult<std::string> str_replace(Charges& charges, std::string_view text, std::string_view old,
                                  std::string_view with, std::int64_t count);

}  // namespace tw::py
