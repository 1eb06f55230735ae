// The engine's native runtime: argument parsers, raises contexts, argparse namespaces, compiled
// patterns and match snapshots, kept in the heap as native objects.
#include <fmt/format.h>

#include <array>
#include <limits>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/heap/type_id.h"
#include "python/vm/native_runtime.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kRecordIdentity = 0x74776e6174697665ULL;  // "twnative"
constexpr std::uint64_t kObjectBytes = 64;
constexpr std::uint64_t kParserEntryBytes = 96;

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::uint64_t record_size(const ArgumentParserRecord& r) {
    std::uint64_t n = r.arguments.size() + (r.subparsers ? r.subparsers->commands.size() : 0);
    return sat_add(sat_add(kObjectBytes, r.prog.size() + (r.description ? r.description->size() : 0)), n * kParserEntryBytes);
}
std::uint64_t record_size(const RaisesContextRecord& r) { return kObjectBytes + r.expected.size(); }
std::uint64_t record_size(const NamespaceRecord& r) {
    std::uint64_t n = kObjectBytes;
    for (const auto& [name, value] : r.entries) n = sat_add(n, name.size() + 16);
    return n;
}
std::uint64_t record_size(const RegexRecord& r) { return kObjectBytes + r.pattern.size(); }
std::uint64_t record_size(const MatchRecord& r) {
    std::uint64_t n = sat_add(kObjectBytes, r.text.size());
    for (const auto& g : r.groups) n = sat_add(n, g ? g->size() : 0);
    return sat_add(n, r.spans.size() * 16);
}

void visit_record(const ArgumentParserRecord& r, ValueVisitor& v) {
    for (const ArgumentSpec& a : r.arguments) v.visit(a.default_value);
    if (r.subparsers)
        for (const SubcommandSpec& c : r.subparsers->commands) v.visit(c.parser);
}
std::uint64_t record_size(const ArrayStorage& r) {
    return sat_add(kObjectBytes, r.holds_values() ? r.size() * 16 : r.size());
}
std::uint64_t record_size(const ArrayRecord& r) { return sat_add(kObjectBytes, r.view.shape.size() * 16); }
void visit_record(const ArrayStorage& r, ValueVisitor& v) {
    if (r.holds_values())
        for (const Value& x : std::get<1>(r.data)) v.visit(x);
}
void visit_record(const ArrayRecord& r, ValueVisitor& v) {
    v.visit(r.storage);
    v.visit(r.base);
}
void visit_record(const RaisesContextRecord&, ValueVisitor&) {}
void visit_record(const NamespaceRecord& r, ValueVisitor& v) {
    for (const auto& [name, value] : r.entries) v.visit(value);
}
void visit_record(const RegexRecord&, ValueVisitor&) {}
void visit_record(const MatchRecord& r, ValueVisitor& v) {
    v.visit(r.subject);
    v.visit(r.regex);
}

template <class Record, BuiltinType Type, std::uint64_t Id>
class RecordObject final : public NativeObject {
public:
    static constexpr std::uint64_t kId = Id;
    explicit RecordObject(Record r) : record(std::move(r)) {}
    TypeId type_id() const override { return py::type_id(Type); }
    std::uint64_t modeled_size() const override { return record_size(record); }
    void visit_values(ValueVisitor& v) const override { visit_record(record, v); }
    std::unique_ptr<NativeObject> clone() const override { return std::make_unique<RecordObject>(*this); }
    std::array<std::uint64_t, 2> type_identity() const override { return {kRecordIdentity, Id}; }

    Record record;
};

using ParserObject = RecordObject<ArgumentParserRecord, BuiltinType::ArgumentParser, 1>;
using RaisesObject = RecordObject<RaisesContextRecord, BuiltinType::RaisesContext, 2>;
using NamespaceObject = RecordObject<NamespaceRecord, BuiltinType::Native, 3>;
using RegexObject = RecordObject<RegexRecord, BuiltinType::Regex, 4>;
using MatchObject = RecordObject<MatchRecord, BuiltinType::Match, 5>;
using StorageObject = RecordObject<ArrayStorage, BuiltinType::Native, 6>;
using ArrayObject = RecordObject<ArrayRecord, BuiltinType::Array, 7>;

PyError array_kind_error() { return PyError::runtime_error("array handle changed object kind"); }

// Every element a view reaches lies inside the storage.
PyStatus check_view(const PyArrayView& view, const ArrayStorage& storage) {
    if (view.shape.size() != view.strides.size())
        return fail(PyError::value_error("array view has mismatched shape and strides"));
    for (std::uint64_t n : view.shape)
        if (n == 0) return {};
    __int128 lo = view.offset, hi = view.offset;
    for (std::size_t i = 0; i < view.shape.size(); ++i) {
        const __int128 extent = __int128(view.strides[i]) * __int128(view.shape[i] - 1);
        (extent > 0 ? hi : lo) += extent;
    }
    const __int128 last = storage.holds_values() ? hi + 1 : hi + view.dtype.itemsize;
    if (lo < 0 || last > __int128(storage.size()))
        return fail(PyError::value_error("array view does not fit its storage"));
    return {};
}

template <class Object>
const Object* downcast(const Heap& heap, const Value& v) {
    const HeapSlot* s = heap.get_if_object(v);
    const auto* n = s ? std::get_if<NativeObjectPayload>(&s->object) : nullptr;
    if (!n || !n->object) return nullptr;
    if (n->object->type_identity() != std::array<std::uint64_t, 2>{kRecordIdentity, Object::kId}) return nullptr;
    return static_cast<const Object*>(n->object.get());
}

template <class Object>
Object* downcast_mut(Heap& heap, const Value& v) {
    if (!downcast<Object>(heap, v)) return nullptr;
    auto slot = heap.slot_mut(v);
    if (!slot) return nullptr;
    return static_cast<Object*>(std::get<NativeObjectPayload>((*slot)->object).object.get());
}

template <class Object, class Record>
PyResult<Value> allocate_record(EngineRuntime& rt, Record record) {
    Box<NativeObject> box(std::make_unique<Object>(std::move(record)));
    return rt.heap().allocate_object(NativeObjectPayload{std::move(box)}, rt.roots(), rt.meter());
}

PyError parser_kind_error() { return PyError::runtime_error("parser handle changed object kind"); }

}  // namespace

// ---- argument parsers ------------------------------------------------------------------------------------

PyResult<Value> EngineRuntime::new_argparse_parser(std::string prog, std::optional<std::string> description,
                                                   bool add_help, bool is_subcommand) {
    ArgumentParserRecord r;
    r.prog = std::move(prog);
    r.description = std::move(description);
    r.add_help = add_help;
    r.is_subcommand = is_subcommand;
    return allocate_record<ParserObject>(*this, std::move(r));
}

PyResult<ArgumentParserRecord> EngineRuntime::argparse_snapshot(Value parser) {
    const ParserObject* p = downcast<ParserObject>(heap(), parser);
    if (!p) return fail(parser_kind_error());
    const ArgumentParserRecord& r = p->record;
    std::uint64_t size = sat_add(r.prog.size(), r.description ? r.description->size() : 0);
    size = sat_add(size, r.arguments.size() * 128);
    if (r.subparsers) size = sat_add(size, r.subparsers->commands.size() * 96);
    ArgumentParserRecord copy = r;
    for (const ArgumentSpec& a : copy.arguments) heap().push_root(a.default_value);
    if (copy.subparsers)
        for (const SubcommandSpec& c : copy.subparsers->commands) {
            if (!downcast<ParserObject>(heap(), c.parser))
                return fail(PyError::type_error("expected an argparse.ArgumentParser"));
            heap().push_root(c.parser);
        }
    TRY_DO(charge_memory(size));
    return copy;
}

PyStatus EngineRuntime::argparse_add_argument(Value parser, ArgumentSpec argument) {
    TRY_DO(heap().update_object_size(parser, kParserEntryBytes, roots(), meter()));
    ParserObject* p = downcast_mut<ParserObject>(heap(), parser);
    if (!p) return fail(parser_kind_error());
    p->record.arguments.push_back(std::move(argument));
    return {};
}

PyStatus EngineRuntime::argparse_add_subparsers(Value parser, SubparsersSpec subparsers) {
    const ParserObject* p = downcast<ParserObject>(heap(), parser);
    if (!p) return fail(parser_kind_error());
    if (p->record.is_subcommand) return fail(PyError::value_error("nested argparse subparsers are not supported"));
    if (p->record.subparsers) return fail(PyError::value_error("parser already has subparsers"));
    downcast_mut<ParserObject>(heap(), parser)->record.subparsers = std::move(subparsers);
    return {};
}

PyResult<std::uint64_t> EngineRuntime::argparse_add_parser(Value parser, SubcommandSpec command) {
    TRY_DO(heap().update_object_size(parser, kParserEntryBytes, roots(), meter()));
    const ParserObject* p = downcast<ParserObject>(heap(), parser);
    auto give_back = [&] { heap().shrink_object_size(parser, kParserEntryBytes, meter()); };
    if (!p) return fail(parser_kind_error());
    if (!p->record.subparsers) {
        give_back();
        return fail(PyError::value_error("add_subparsers() must be called first"));
    }
    for (const SubcommandSpec& c : p->record.subparsers->commands)
        if (c.name == command.name) {
            give_back();
            return fail(PyError::value_error(fmt::format("conflicting subparser: {}", command.name)));
        }
    auto& commands = downcast_mut<ParserObject>(heap(), parser)->record.subparsers->commands;
    commands.push_back(std::move(command));
    return std::uint64_t(commands.size());
}

// ---- raises contexts and namespaces ------------------------------------------------------------------------

PyResult<Value> EngineRuntime::new_namespace(std::vector<std::pair<std::string, Value>> entries) {
    return allocate_record<NamespaceObject>(*this, NamespaceRecord{std::move(entries)});
}

PyResult<Value> EngineRuntime::new_raises_context(std::string expected) {
    return allocate_record<RaisesObject>(*this, RaisesContextRecord{std::move(expected)});
}

PyResult<std::string> EngineRuntime::raises_context(Value v) {
    const RaisesObject* r = downcast<RaisesObject>(heap(), v);
    if (!r) return fail(PyError::runtime_error("raises handle changed object kind"));
    return r->record.expected;
}

// ---- arrays --------------------------------------------------------------------------------------------------

PyResult<Value> EngineRuntime::new_array(ArrayStorage storage, PyArrayDtype dtype, std::vector<std::uint64_t> shape,
                                         std::vector<std::int64_t> strides) {
    std::uint64_t count = 1;
    for (std::uint64_t n : shape)
        if (__builtin_mul_overflow(count, n, &count)) return fail(PyError::value_error("array is too big."));
    std::uint64_t needed = 0;
    const bool sized = !__builtin_mul_overflow(count, std::uint64_t(dtype.itemsize), &needed);
    const std::uint64_t have = storage.holds_values() ? storage.size() * 8 : storage.size();
    if (!sized || needed != have || dtype.values != storage.holds_values())
        return fail(PyError::runtime_error("array storage does not match its shape and dtype"));
    PyArrayView view{std::move(shape), std::move(strides), 0, dtype, true};
    TRY_DO(check_view(view, storage));
    TRY_ASSIGN(storage_value, allocate_record<StorageObject>(*this, std::move(storage)));
    return allocate_record<ArrayObject>(*this, ArrayRecord{std::move(view), storage_value, Value::absent()});
}

PyResult<Value> EngineRuntime::array_view(Value array, PyArrayView view) {
    const ArrayObject* a = downcast<ArrayObject>(heap(), array);
    if (!a) return fail(array_kind_error());
    const Value storage = a->record.storage;
    const Value base = a->record.base.is_present() ? a->record.base : array;
    if (view.writeable && !a->record.view.writeable)
        return fail(PyError::runtime_error("a view of a read-only array cannot be writeable"));
    const StorageObject* st = downcast<StorageObject>(heap(), storage);
    if (!st) return fail(PyError::runtime_error("array storage changed object kind"));
    TRY_DO(check_view(view, st->record));
    heap().push_root(storage);
    heap().push_root(base);
    return allocate_record<ArrayObject>(*this, ArrayRecord{std::move(view), storage, base});
}

PyResult<PyArrayView> EngineRuntime::array_info(Value array) {
    const ArrayObject* a = downcast<ArrayObject>(heap(), array);
    if (!a) return fail(array_kind_error());
    return a->record.view;
}

PyResult<std::uint32_t> EngineRuntime::array_storage_id(Value array) {
    const ArrayObject* a = downcast<ArrayObject>(heap(), array);
    if (!a) return fail(array_kind_error());
    auto id = object_id(a->record.storage);
    if (!id) return fail(PyError::runtime_error("array storage is not an object"));
    return *id;
}

PyResult<std::optional<Value>> EngineRuntime::array_base(Value array) {
    const ArrayObject* a = downcast<ArrayObject>(heap(), array);
    if (!a) return fail(array_kind_error());
    if (a->record.base.is_absent()) return std::optional<Value>();
    return std::optional(heap().clone_value(a->record.base));
}

PyStatus EngineRuntime::set_array_writeable(Value array, bool writeable) {
    ArrayObject* a = downcast_mut<ArrayObject>(heap(), array);
    if (!a) return fail(array_kind_error());
    a->record.view.writeable = writeable;
    return {};
}

PyResult<Value> EngineRuntime::array_data(std::span<const Value> arrays, ArrayReadCallback callback, void* data) {
    std::vector<ArrayData> views;
    for (const Value& v : arrays) {
        const ArrayObject* a = downcast<ArrayObject>(heap(), v);
        if (!a) return fail(array_kind_error());
        const StorageObject* st = downcast<StorageObject>(heap(), a->record.storage);
        if (!st) return fail(PyError::runtime_error("array storage changed object kind"));
        views.push_back({&a->record.view, &st->record});
    }
    return callback(*this, views, data);
}

PyResult<Value> EngineRuntime::array_assign(Value array, ArrayWriteCallback callback, void* data) {
    const ArrayObject* a = downcast<ArrayObject>(heap(), array);
    if (!a) return fail(array_kind_error());
    if (!a->record.view.writeable) return fail(PyError::value_error("assignment destination is read-only"));
    StorageObject* st = downcast_mut<StorageObject>(heap(), a->record.storage);
    if (!st) return fail(PyError::runtime_error("array storage changed object kind"));
    return callback(*this, st->record, data);
}

// ---- patterns and matches ----------------------------------------------------------------------------------

PyResult<Value> EngineRuntime::new_regex(std::string pattern, std::uint32_t flags) {
    return allocate_record<RegexObject>(*this, RegexRecord{std::move(pattern), flags});
}

PyResult<Value> EngineRuntime::new_match(MatchRecord match) { return allocate_record<MatchObject>(*this, std::move(match)); }

PyResult<std::pair<std::string, std::uint32_t>> EngineRuntime::regex_pattern(Value regex) {
    const RegexObject* r = downcast<RegexObject>(heap(), regex);
    if (!r) return fail(PyError::runtime_error("regex handle changed object kind"));
    TRY_DO(charge_memory(r->record.pattern.size()));
    r = downcast<RegexObject>(heap(), regex);
    if (!r) return fail(PyError::runtime_error("regex handle changed object kind"));
    return std::pair{r->record.pattern, r->record.flags};
}

PyResult<MatchRecord> EngineRuntime::match_snapshot(Value match) {
    const MatchObject* m = downcast<MatchObject>(heap(), match);
    if (!m) return fail(PyError::runtime_error("match handle changed object kind"));
    const MatchRecord& r = m->record;
    std::uint64_t size = r.text.size();
    auto add = [&](std::uint64_t n) { return !__builtin_add_overflow(size, n, &size); };
    bool fits = true;
    for (const auto& g : r.groups) fits = fits && add(g ? g->size() : 0);
    for (const auto& g : r.group_names) fits = fits && add(g ? g->size() : 0);
    std::uint64_t spans = 0;
    fits = fits && !__builtin_mul_overflow(std::uint64_t(r.spans.size()), std::uint64_t(16), &spans) && add(spans);
    if (!fits) return fail(PyError::resource("match snapshot is too large"));
    TRY_DO(charge_memory(size));
    m = downcast<MatchObject>(heap(), match);
    if (!m) return fail(PyError::runtime_error("match handle changed object kind"));
    MatchRecord copy = m->record;
    heap().push_root(copy.subject);
    heap().push_root(copy.regex);
    return copy;
}

}  // namespace tw::py
