// Line iteration over the standard streams: `iter(stream)` is the stream itself and every step
// reads one line of standard input through the interpreter's reader.
#include "python/types/stream_types.h"

#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/types/mapping_support.h"
#include "python/vm/call.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

constexpr std::uint8_t kStdin = 0;
constexpr std::uint8_t kStdinBuffer = 3;

// The stream number of a stream handle; none for any other value.
std::optional<std::uint8_t> stream_number(Value v) {
    if (!v.is_native()) return std::nullopt;
    auto d = decode_native_handle(v);
    if (!d || d->tag != DefinitionTag::Stream) return std::nullopt;
    return std::uint8_t(d->number);
}

PyError stop_iteration(NativeRuntime& rt) {
    if (auto r = rt.set_pending_exception("StopIteration", {}); !r) return std::move(r.error());
    return PyError::raised();
}

// `next(stream[, default])` as one repeatable native call: the line, the default at the end of
// input, or StopIteration.
}  // namespace

PyResult<Value> stream_next_or_default(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_ASSIGN(line, py_stream_next(rt, self));
    if (line) return *line;
    if (!c.positional.empty()) return c.positional.front();
    return fail(stop_iteration(rt));
}

namespace {

constexpr NativeFunction kNextRow{"stream", "__next__", nullptr, stream_next_or_default};

PyResult<Value> iter_method(NativeRuntime&, Value self, NativeCall c) {
    TRY_DO(mapargs::check(c, "stream.__iter__", 0, 0));
    return self;
}

PyResult<Value> next_method(NativeRuntime& rt, Value self, NativeCall c) {
    TRY_DO(mapargs::check(c, "stream.__next__", 0, 0));
    return stream_next_or_default(rt, self, std::move(c));
}

constexpr NativeFunction kStreamMethods[] = {
    {"stream", "__iter__", nullptr, iter_method},
    {"stream", "__next__", nullptr, next_method},
};
constexpr NativeClass kStreamClass{"stream", kStreamMethods, {}};

}  // namespace

const NativeClass& stream_iteration_class() { return kStreamClass; }

const NativeFunction& stream_next_row() { return kNextRow; }

bool is_stream_handle(Value v) { return stream_number(v).has_value(); }

PyResult<std::optional<Value>> py_stream_next(NativeRuntime& rt, Value stream) {
    auto n = stream_number(stream);
    if (!n) return fail(PyError::type_error("expected a stream"));
    if (*n != kStdin && *n != kStdinBuffer) return fail(PyError::value_error("only standard input is readable"));
    TRY_ASSIGN(read, rt.stream_read(stream, false, 0, true));
    if (read.data.empty()) return std::optional<Value>();
    TRY_ASSIGN(line, read.bytes ? rt.new_bytes(std::move(read.data)) : rt.new_str(std::move(read.data)));
    return std::optional(line);
}

SlotValue stream_iter(NativeRuntime&, Value self) { return std::optional(self); }

SlotValue stream_next(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(line, py_stream_next(rt, self));
    if (!line) return fail(stop_iteration(rt));
    return line;
}

}  // namespace tw::py
