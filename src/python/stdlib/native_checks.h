// The argument checks shared by the native modules: the prologue of a function that takes no
// arguments and the conversions of bytes-like, dict and sequence arguments, with their fixed
// messages. Each conversion fails with TypeError naming what it got; an error of the runtime
// operation it asks is passed on unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"

namespace tw::py {

class NativeRuntime;
enum class ValueCategory : std::uint8_t;

// The name a value category has in messages ("None", "Int", "String", "Dict", ...).
std::string_view value_category_name(ValueCategory c);

// No positional and no keyword arguments: the arity TypeError (0..=0) first, then the keyword one.
PyStatus native_expect_no_args(const NativeCall& call, std::string_view name);

// An owned copy of a bytes or bytearray value; TypeError "expected a bytes-like object, got {}".
PyResult<std::string> py_expect_bytes_like(NativeRuntime& rt, Value v);

// The value itself when it is a dict; TypeError "expected dict, got {}".
PyResult<Value> py_expect_dict(NativeRuntime& rt, Value v);

// A list or tuple argument, holding the handle it was given (not a copy).
struct SequenceArg {
    enum class Kind : std::uint8_t { List, Tuple };
    Kind kind;
    Value handle;
};

// TypeError "expected a sequence, got {}" naming the value's category (Dict, Int, None, ...).
PyResult<SequenceArg> py_expect_sequence(NativeRuntime& rt, Value v);

// Runs the list operation or the tuple operation on the sequence's handle, by its kind.
template <class OnList, class OnTuple>
auto py_sequence_arg_apply(const SequenceArg& seq, OnList&& on_list, OnTuple&& on_tuple) {
    return seq.kind == SequenceArg::Kind::List ? std::forward<OnList>(on_list)(seq.handle)
                                               : std::forward<OnTuple>(on_tuple)(seq.handle);
}

// A copy of a sequence argument's items.
PyResult<std::vector<Value>> py_sequence_items(NativeRuntime& rt, const SequenceArg& seq);

}  // namespace tw::py
