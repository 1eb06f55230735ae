// The class of the standard stream objects, `tarnwick.stream`: stdin, its binary buffer, stdout
// and stderr. Writes go to the program's output buffers under the output budget; reads take the
// process's standard input and suspend the program while none is there.
#include "python/stdlib/stream.h"

#include <fmt/format.h>

#include <limits>

#include "python/front/definitions.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/stdlib/native_rows.h"
#include "python/vm/call.h"
#include "python/vm/engine.h"
#include "python/vm/try.h"
#include "python/vm/protocols.h"

namespace tw::py {

namespace {

// The static stream numbers: 0 stdin, 1 stdout, 2 stderr, 3 the binary buffer of stdin.
constexpr std::uint8_t kStdinBuffer = 3;

struct StreamId {
    std::uint8_t number = 0;
    int index() const { return number == kStdinBuffer ? 0 : number; }
    bool raw() const { return number == kStdinBuffer; }
};

PyResult<StreamId> stream_of(Value v) {
    auto d = v.is_native() ? decode_native_handle(v) : std::nullopt;
    if (!d || d->tag != DefinitionTag::Stream || d->number > kStdinBuffer)
        return fail(PyError::type_error("descriptor requires a 'tarnwick.stream' object"));
    return StreamId{std::uint8_t(d->number)};
}

std::int64_t character_count(std::string_view text) {
    std::uint64_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return std::int64_t(std::min<std::uint64_t>(n, std::numeric_limits<std::int64_t>::max()));
}

PyResult<Value> stream_write(NativeRuntime& rt, Value self, NativeCall call) {
    TRY_DO(expect_positional(call, "stream.write", 1, 1));
    TRY_ASSIGN(s, stream_of(self));
    if (s.index() == 0) return fail(PyError::value_error("standard input is not writable"));
    TRY_ASSIGN(text, rt.to_str(call.positional[0]));
    TRY_DO(python_write_stdio(rt.context(), s.index(), text));
    return Value::from_int(character_count(text));
}

// The size argument of read and readline: none for no limit.
PyResult<std::optional<std::uint64_t>> read_limit(NativeRuntime& rt, const NativeCall& call) {
    if (call.positional.empty()) return std::optional<std::uint64_t>();
    const Value size = call.positional[0];
    TRY_ASSIGN(category, rt.value_category(size));
    if (category != ValueCategory::Int && category != ValueCategory::Bool)
        return fail(PyError::type_error("stream size must be an integer"));
    const std::optional<std::int64_t> n = rt.to_i64(size);
    if (!n && size.is_bool()) return std::optional<std::uint64_t>(size.as_bool() ? 1 : 0);
    // A size beyond 64 bits limits nothing that can exist.
    if (!n || *n < 0) return std::optional<std::uint64_t>();
    return std::optional(std::uint64_t(*n));
}

PyResult<Value> read_value(NativeRuntime& rt, StreamId s, const vm::StdinRead& how) {
    if (s.index() != 0) return fail(PyError::value_error("only standard input is readable"));
    TRY_ASSIGN(text, vm::read_stdin(rt.context(), how));
    return s.raw() ? rt.new_bytes(std::move(text)) : rt.new_str(std::move(text));
}

PyResult<Value> read_common(NativeRuntime& rt, Value self, const NativeCall& call, bool line) {
    TRY_DO(expect_positional(call, "stream.read", 0, 1));
    TRY_ASSIGN(s, stream_of(self));
    TRY_ASSIGN(limit, read_limit(rt, call));
    return read_value(rt, s, vm::StdinRead{.raw = s.raw(), .line = line, .limit = limit});
}

PyResult<Value> stream_read(NativeRuntime& rt, Value self, NativeCall call) { return read_common(rt, self, call, false); }
PyResult<Value> stream_readline(NativeRuntime& rt, Value self, NativeCall call) {
    return read_common(rt, self, call, true);
}

// Reads to the end of input before it splits, so a program suspended while the input arrives
// loses no line it had already taken.
PyResult<Value> stream_readlines(NativeRuntime& rt, Value self, NativeCall call) {
    TRY_DO(expect_positional(call, "stream.readlines", 0, 1));
    TRY_ASSIGN(s, stream_of(self));
    if (s.index() != 0) return fail(PyError::value_error("only standard input is readable"));
    TRY_ASSIGN(text, vm::read_stdin(rt.context(), vm::StdinRead{.raw = s.raw()}));
    std::vector<Value> lines;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        const std::size_t n = lf == std::string_view::npos ? rest.size() : lf + 1;
        std::string piece(rest.substr(0, n));
        rest.remove_prefix(n);
        TRY_ASSIGN(v, s.raw() ? rt.new_bytes(std::move(piece)) : rt.new_str(std::move(piece)));
        lines.push_back(v);
    }
    return rt.new_list(std::move(lines));
}

// The methods without arguments answer a fixed fact of the stream.
template <Value (*Answer)(StreamId), const char* Name>
PyResult<Value> stream_fact(NativeRuntime&, Value self, NativeCall call) {
    TRY_DO(expect_positional(call, Name, 0, 0));
    TRY_ASSIGN(s, stream_of(self));
    return Answer(s);
}

Value answer_none(StreamId) { return Value::none(); }
Value answer_false(StreamId) { return Value::from_bool(false); }
Value answer_fileno(StreamId s) { return Value::from_int(s.index()); }
Value answer_readable(StreamId s) { return Value::from_bool(s.index() == 0); }
Value answer_writable(StreamId s) { return Value::from_bool(s.index() != 0); }

PyResult<Value> stream_buffer(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(s, stream_of(self));
    if (s.index() != 0) return fail(PyError::exception("AttributeError", "only sys.stdin models a binary buffer"));
    return rt.static_value(5);
}
PyResult<Value> stream_encoding(NativeRuntime& rt, Value self) {
    TRY_DO(stream_of(self));
    return rt.new_str("utf-8");
}
PyResult<Value> stream_errors(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(s, stream_of(self));
    return rt.new_str(s.index() == 2 ? "backslashreplace" : "strict");
}
PyResult<Value> stream_closed(NativeRuntime&, Value self) {
    TRY_DO(stream_of(self));
    return Value::from_bool(false);
}
PyResult<Value> stream_name(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(s, stream_of(self));
    constexpr std::string_view kNames[] = {"<stdin>", "<stdout>", "<stderr>"};
    return rt.new_str(std::string(kNames[s.index()]));
}
PyResult<Value> stream_mode(NativeRuntime& rt, Value self) {
    TRY_ASSIGN(s, stream_of(self));
    return rt.new_str(s.index() == 0 ? "r" : "w");
}

constexpr std::string_view kOwner = "stream";
constexpr char kFlush[] = "stream.flush";
constexpr char kFileno[] = "stream.fileno";
constexpr char kIsatty[] = "stream.isatty";
constexpr char kReadable[] = "stream.readable";
constexpr char kWritable[] = "stream.writable";
constexpr char kSeekable[] = "stream.seekable";

constexpr NativeFunction kStreamMethods[] = {
    {kOwner, "write", nullptr, &stream_write},
    {kOwner, "read", nullptr, &stream_read},
    {kOwner, "readline", nullptr, &stream_readline},
    {kOwner, "readlines", nullptr, &stream_readlines},
    {kOwner, "flush", nullptr, &stream_fact<answer_none, kFlush>},
    {kOwner, "fileno", nullptr, &stream_fact<answer_fileno, kFileno>},
    {kOwner, "isatty", nullptr, &stream_fact<answer_false, kIsatty>},
    {kOwner, "readable", nullptr, &stream_fact<answer_readable, kReadable>},
    {kOwner, "writable", nullptr, &stream_fact<answer_writable, kWritable>},
    {kOwner, "seekable", nullptr, &stream_fact<answer_false, kSeekable>},
};

constexpr NativeProperty kStreamProperties[] = {
    {kOwner, "buffer", &stream_buffer}, {kOwner, "encoding", &stream_encoding}, {kOwner, "errors", &stream_errors},
    {kOwner, "closed", &stream_closed}, {kOwner, "name", &stream_name},         {kOwner, "mode", &stream_mode},
};

constexpr NativeClass kStreamClass{"tarnwick.stream", kStreamMethods, kStreamProperties};

}  // namespace

void attach_stream_class(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::Stream), kStreamClass);
}

}  // namespace tw::py
