// The native methods of str, bytes and bytearray: the rows the type registry attaches, over the
// string algorithms of python/string. Shared argument readers of the three types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"
#include "python/string/bytearray_ops.h"
#include "python/string/search.h"

namespace tw::py {

class TypeRegistry;
class Symbols;
class NativeRuntime;

const NativeClass& str_native_class();
const NativeClass& bytes_native_class();
const NativeClass& bytearray_native_class();
// Attaches the method rows (and the class methods bytes.fromhex, bytearray.fromhex).
void attach_string_classes(TypeRegistry& registry, Symbols& symbols);

// The slot functions of bytes and bytearray (length, item access, concatenation, repetition,
// item and slice assignment and deletion); each answers a value, an error or not-applicable.
PyResult<std::optional<Value>> bytes_len(NativeRuntime& rt, Value self);
PyResult<std::optional<Value>> bytes_getitem(NativeRuntime& rt, Value self, Value key);
PyResult<std::optional<Value>> bytes_concat(NativeRuntime& rt, Value self, Value other);
PyResult<std::optional<Value>> bytes_repeat(NativeRuntime& rt, Value a, Value b);
PyResult<std::optional<Value>> bytearray_setitem(NativeRuntime& rt, Value self, Value key, Value value);
PyResult<std::optional<Value>> bytearray_delitem(NativeRuntime& rt, Value self, Value key);

// The slot functions of str: concatenation, repetition (one function for __mul__ and __rmul__,
// self being the str) and the six comparisons.
PyResult<std::optional<Value>> str_concat(NativeRuntime& rt, Value self, Value other);
PyResult<std::optional<Value>> str_repeat(NativeRuntime& rt, Value self, Value count);
PyResult<std::optional<Value>> str_eq(NativeRuntime& rt, Value self, Value other);
PyResult<std::optional<Value>> str_ne(NativeRuntime& rt, Value self, Value other);
PyResult<std::optional<Value>> str_lt(NativeRuntime& rt, Value self, Value other);
PyResult<std::optional<Value>> str_le(NativeRuntime& rt, Value self, Value other);
PyResult<std::optional<Value>> str_gt(NativeRuntime& rt, Value self, Value other);
PyResult<std::optional<Value>> str_ge(NativeRuntime& rt, Value self, Value other);
// object.__format__: str(self) for an empty spec, else TypeError "unsupported format string
// passed to {}.__format__".
PyResult<std::optional<Value>> object_format(NativeRuntime& rt, Value self, Value spec);

namespace strarg {

// An owned copy of a str's text with its code-point count.
struct OwnedStr {
    std::string text;
    std::uint64_t chars = 0;
    StrText view() const { return {text, chars}; }
};

// TypeError "{}() expected {}..={} positional arguments, got {}".
PyStatus check_arity(const NativeCall& call, std::string_view name, std::size_t min, std::size_t max);
// TypeError "{}() does not accept keyword arguments".
PyStatus reject_keywords(const NativeCall& call, std::string_view name);
// The keyword values of `accepted` names (TypeError "{}() keyword argument {} is not implemented"
// for any other, "{}() got multiple values for keyword {}" for a repeated one).
PyResult<std::vector<std::optional<Value>>> keywords(const NativeCall& call, std::string_view name,
                                                     std::initializer_list<std::string_view> accepted);
PyResult<std::string> type_name(NativeRuntime& rt, const Value& v);
// The text of a str value; nothing for any other value.
PyResult<std::optional<OwnedStr>> str_of(NativeRuntime& rt, const Value& v);
// TypeError "expected a string, got {}".
PyResult<OwnedStr> expect_str(NativeRuntime& rt, const Value& v);
// An int or bool that fits a signed 64-bit number.
std::optional<std::int64_t> int64_of(NativeRuntime& rt, const Value& v);
// The search bounds at positions `first` and `first + 1` (TypeError "slice indices must be
// integers or None or have an __index__ method").
PyResult<SearchBounds> bounds(NativeRuntime& rt, const NativeCall& call, std::size_t first);
// The bytes of a bytes or bytearray value; nothing for others.
PyResult<std::optional<std::string>> bytes_of(NativeRuntime& rt, const Value& v);
bool is_bytearray(NativeRuntime& rt, const Value& v);
// TypeError "expected a bytes-like object, got {}".
PyResult<std::string> expect_bytes(NativeRuntime& rt, const Value& v);
// The positions a slice key selects of `length` items; nothing when the key is no slice
// (TypeError "slice indices must be integers or None or have an __index__ method").
PyResult<std::optional<ResolvedSlice>> slice_of(NativeRuntime& rt, const Value& key, std::uint64_t length);
// index_argument: TypeError "'{}' object cannot be interpreted as an integer".
PyResult<std::int64_t> index_argument(NativeRuntime& rt, const Value& v);
// A repeat count of sequence repetition: a negative count is 0, a positive count beyond 64 bits is
// OverflowError "sequence repeat is too large"; nothing for a value that is not an integer.
PyResult<std::optional<std::uint64_t>> repeat_count(NativeRuntime& rt, const Value& count);

PyResult<Value> make_str(NativeRuntime& rt, std::string text);
PyResult<Value> make_bytes(NativeRuntime& rt, std::string bytes, bool bytearray);
PyResult<Value> make_list(NativeRuntime& rt, std::vector<Value> items);
PyResult<Value> make_tuple(NativeRuntime& rt, std::vector<Value> items);

// The encoding and error-handler names of str.encode and bytes.decode: positional, else keyword,
// else "utf-8" and "strict".
PyResult<std::pair<std::string, std::string>> encoding_arguments(NativeRuntime& rt, const NativeCall& call,
                                                                 std::string_view name);

}  // namespace strarg

}  // namespace tw::py
