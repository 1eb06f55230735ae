// bytearray mutation in place and the item, concatenation and repetition slots of bytes and
// bytearray. Every operation checks and charges first and changes the content last, so a failure
// leaves it as it was; the work charged follows the bytes touched (an append touches one byte,
// not the whole content).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/string/text.h"

namespace tw::py {

// The size change of a bytearray's content, accounted by the owner of the object (its modeled
// size in the heap): called after every check and before the change, so that a refusal leaves
// the content as it was.
class ContentSizer {
public:
    virtual PyStatus resize(std::uint64_t old_size, std::uint64_t new_size) = 0;

protected:
    ~ContentSizer() = default;
};

// The mutations below take `Charges& charges, ContentSizer& sizer` when they change the size.

// ValueError "byte must be in range(0, 256)" unless 0 <= v <= 255 (nothing: not a 64-bit int).
PyResult<std::uint8_t> checked_byte(std::optional<std::int64_t> v);

PyStatus bytearray_append(Charges& charges, ContentSizer& sizer, std::string& content, std::uint8_t byte);
PyStatus bytearray_extend(Charges& charges, ContentSizer& sizer, std::string& content, std::string_view more);
PyStatus bytearray_insert(Charges& charges, ContentSizer& sizer, std::string& content, std::int64_t position, std::uint8_t byte);
// The removed byte; IndexError "pop from empty bytearray", "pop index out of range".
PyResult<std::uint8_t> bytearray_pop(Charges& charges, ContentSizer& sizer, std::string& content, std::int64_t position);
// ValueError "value not found in bytearray".
PyStatus bytearray_remove(Charges& charges, ContentSizer& sizer, std::string& content, std::uint8_t byte);
PyStatus bytearray_clear(Charges& charges, ContentSizer& sizer, std::string& content);
PyStatus bytearray_reverse(Charges& charges, std::string& content);
// A whole new content (bytearray.__init__).
PyStatus bytearray_assign(Charges& charges, ContentSizer& sizer, std::string& content, std::string_view bytes);

// content[index] = value: the value is checked before the index ("bytearray index out of range").
PyStatus bytearray_set_item(std::string& content, std::int64_t index, std::optional<std::int64_t> value);
// A resolved slice: `count` positions from `start` by `step`.
struct ResolvedSlice {
    std::int64_t start = 0, step = 1;
    std::uint64_t count = 0;
};
// The positions a slice selects of a sequence of `length` items (absent bounds and step are
// nothing); ValueError "slice step cannot be zero".
PyResult<ResolvedSlice> resolve_slice(std::uint64_t length, std::optional<std::int64_t> start,
                                      std::optional<std::int64_t> stop, std::optional<std::int64_t> step);
// content[slice] = bytes. ValueError "attempt to assign sequence of size {} to extended slice of size {}".
PyStatus bytearray_set_slice(Charges& charges, ContentSizer& sizer, std::string& content, ResolvedSlice slice, std::string_view bytes);
PyStatus bytearray_del_item(Charges& charges, ContentSizer& sizer, std::string& content, std::int64_t index);
PyStatus bytearray_del_slice(Charges& charges, ContentSizer& sizer, std::string& content, ResolvedSlice slice);

// bytes[index] ("index out of range") and bytearray[index] ("bytearray index out of range").
PyResult<std::uint8_t> byte_at(std::string_view content, std::int64_t index, bool bytearray);
// Concatenation (memory left + right, work right) and repetition (a negative count is 0; the
// product beyond 64 bits is "bytes result is too large" / "bytearray result is too large").
PyResult<std::string> bytes_concat(Charges& charges, std::string_view left, std::string_view right);
PyResult<std::string> bytes_repeat(Charges& charges, std::string_view content, std::int64_t count, bool bytearray);

}  // namespace tw::py
