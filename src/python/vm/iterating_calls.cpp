// Calls of builtins over iterables that only Python code can step, run as frames of the stored
// `_iteration` module.
#include "python/vm/iterating_calls.h"

#include <fmt/format.h>

#include <vector>

#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/objects/value_access.h"
#include "python/vm/engine.h"
#include "python/vm/namespace.h"
#include "python/vm/native_runtime.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

constexpr std::uint32_t kStdinStream = 0;
constexpr std::uint32_t kStdinBufferStream = 3;

constexpr std::uint32_t kAnyCount = 0xFFFFFFFFu;

// Which arguments a builtin iterates: the one at `first`, or every one from `first` on; objects of
// program classes count only when iterating is all the builtin does with them (not for dict(),
// which takes mappings by their keys, nor for bytes(), which asks __bytes__ first). A call with
// more than `most` positional arguments is left to the builtin's own error, nothing consumed.
struct Consumer {
    std::uint32_t first = 0;
    bool all = false;
    bool instances = true;
    std::uint32_t most = 1;
};

struct MethodConsumer {
    std::string_view owner, name;
    Consumer takes;  // counted after the receiver
};

constexpr MethodConsumer kMethods[] = {
    {"str", "join", {0, false, true, 1}},       {"bytes", "join", {0, false, true, 1}},
    {"bytearray", "join", {0, false, true, 1}}, {"list", "extend", {0, false, true, 1}},
    {"bytearray", "extend", {0, false, false, 1}}, {"set", "update", {0, true, true, kAnyCount}},
    {"dict", "update", {0, false, false, 1}},
};

std::optional<Consumer> method_consumer(const NativeFunction* f) {
    if (!f) return std::nullopt;
    for (const MethodConsumer& m : kMethods)
        if (f->owner == m.owner && f->name == m.name) return m.takes;
    return std::nullopt;
}

// The builtin functions by their ids: sorted, min, max, sum, enumerate, zip, any, all.
std::optional<Consumer> function_consumer(std::uint32_t id, std::size_t positional) {
    switch (id) {
        case 17: case 27: case 28: return Consumer{};
        case 20: case 25: return Consumer{0, false, true, 2};
        case 18: case 19: if (positional == 1) return Consumer{}; return std::nullopt;  // min(a, b) compares
        case 26: return Consumer{0, true, true, kAnyCount};
        default: return std::nullopt;
    }
}

std::optional<Consumer> type_consumer(std::uint32_t id) {
    switch (BuiltinType(id)) {
        case BuiltinType::List:
        case BuiltinType::Tuple:
        case BuiltinType::Set:
        case BuiltinType::FrozenSet: return Consumer{};
        case BuiltinType::Dict:
        case BuiltinType::Bytes:
        case BuiltinType::ByteArray: return Consumer{0, false, false, 1};
        default: return std::nullopt;
    }
}

// What `callee` iterates, its indices counted in the call's positional arguments.
std::optional<Consumer> consumer_of(const Heap& heap, Value callee, std::size_t positional) {
    if (callee.is_object()) {
        const HeapSlot* slot = heap.get_if_object(callee);
        const auto* bm = slot ? std::get_if<BoundMethodPayload>(&slot->object) : nullptr;
        if (!bm) return std::nullopt;
        auto def = decode_native_handle(bm->function.is_absent() ? bm->owner : bm->function);
        if (!def || def->tag != DefinitionTag::NativeMethod) return std::nullopt;
        return method_consumer(def->function);
    }
    auto def = decode_native_handle(callee);
    if (!def) return std::nullopt;
    switch (def->tag) {
        case DefinitionTag::Function: return function_consumer(def->number, positional);
        case DefinitionTag::BuiltinType: return type_consumer(def->number);
        case DefinitionTag::NativeFunction:
            if (def->function && def->function->owner == "builtins") {
                if (def->function->name == "map") return Consumer{1, true, true, kAnyCount};
                if (def->function->name == "filter") return Consumer{1, false, true, 2};
            }
            return std::nullopt;
        case DefinitionTag::NativeMethod: {
            // Called unbound: the receiver is the first positional argument.
            auto m = method_consumer(def->function);
            if (m) {
                ++m->first;
                if (m->most != kAnyCount) ++m->most;
            }
            return m;
        }
        default: return std::nullopt;
    }
}

// Whether stepping `v` runs Python code or may wait for standard input.
PyResult<bool> stepped_by_python(RuntimeContext& ctx, Value v, bool instances) {
    if (v.is_native()) {
        auto def = decode_native_handle(v);
        return def && def->tag == DefinitionTag::Stream && (def->number == kStdinStream || def->number == kStdinBufferStream);
    }
    const HeapSlot* s = ctx.heap.get_if_object(v);
    if (!s) return false;
    switch (s->kind()) {
        case HeapObjectKind::Generator:
        case HeapObjectKind::CallableIterator:
        case HeapObjectKind::StreamIterator: return true;
        default: break;
    }
    if (!instances || s->type_id < kFirstProgramType) return false;
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, interp(ctx).types, v));
    if (!cls) return false;
    // An __iter__ that is a generator function: its body runs as the items are asked for. Other
    // __iter__ methods return an iterator before any item is taken, and a __next__ written in
    // Python is called the same way by either loop. A subclass of a builtin container is
    // iterated through its own __iter__ whatever it is (the builtins would read the items).
    const bool container = s->kind() != HeapObjectKind::Object;
    TRY_ASSIGN(found, class_lookup(ctx, *cls, ctx.heap.symbols.intern_static("__iter__")));
    const HeapSlot* f = found ? ctx.heap.get_if_object(*found) : nullptr;
    const auto* fn = f ? std::get_if<FunctionPayload>(&f->object) : nullptr;
    return fn && (container || fn->record->code->has_yield);
}

}  // namespace

PyResult<Value> iteration_module_function(RuntimeContext& ctx, std::string_view name) {
    Heap& heap = ctx.heap;
    std::optional<Value> module = heap.find_module("_iteration");
    if (!module) {
        EngineRuntime rt(ctx);
        TRY_ASSIGN(imported, rt.import_module("_iteration"));
        module = imported;
    }
    TRY_ASSIGN(scope, module_submodule_slot(heap, *module, "_iteration"));
    TRY_ASSIGN(fn, namespace_get_str(heap, scope, name));
    if (!fn) return fail(PyError::unsupported(fmt::format("frozen _iteration module lacks {}", name)));
    return *fn;
}

PyResult<std::optional<StepOutcome>> hand_over_iterating_call(RuntimeContext& ctx, Value callee, const NativeCall& call,
                                                              std::span<const std::pair<Symbol, Value>> keywords) {
    const std::vector<Value>& args = call.positional;
    // Most calls pass no argument that could be such an iterable: they are done before the
    // callee is looked at.
    bool candidate = false;
    for (const Value& v : args) {
        if (v.is_native()) {
            candidate = true;
        } else if (const HeapSlot* s = ctx.heap.get_if_object(v)) {
            const HeapObjectKind k = s->kind();
            candidate = k == HeapObjectKind::Generator || k == HeapObjectKind::CallableIterator ||
                        k == HeapObjectKind::StreamIterator || s->type_id >= kFirstProgramType;
        }
        if (candidate) break;
    }
    if (!candidate) return std::optional<StepOutcome>();
    auto consumer = consumer_of(ctx.heap, callee, args.size());
    if (!consumer || args.size() > consumer->most) return std::optional<StepOutcome>();
    std::vector<Value> positions;
    for (std::size_t i = consumer->first; i < args.size(); ++i) {
        TRY_ASSIGN(python, stepped_by_python(ctx, args[i], consumer->instances));
        if (python) positions.push_back(Value::from_int(std::int64_t(i)));
        if (!consumer->all) break;
    }
    if (positions.empty()) return std::optional<StepOutcome>();
    ExecState& st = ctx.exec;
    // list(iterable): the collected list is the result itself.
    if (auto def = decode_native_handle(callee);
        def && def->tag == DefinitionTag::BuiltinType && def->number == type_id(BuiltinType::List) && args.size() == 1 &&
        keywords.empty()) {
        TRY_ASSIGN(materialize, iteration_module_function(ctx, "materialize"));
        st.values.push_back(materialize);
        st.values.push_back(args[0]);
        TRY_ASSIGN(outcome, dispatch_call(ctx, 1, {}, CallMode::Frame));
        return std::optional(outcome);
    }
    TRY_ASSIGN(helper, iteration_module_function(ctx, "call_with_items"));
    ctx.heap.push_root(helper);
    TRY_ASSIGN(indices, new_tuple(ctx, std::move(positions)));
    st.values.push_back(helper);
    st.values.push_back(callee);
    st.values.push_back(indices);
    st.values.insert(st.values.end(), args.begin(), args.end());
    std::vector<KeywordName> names;
    names.reserve(keywords.size());
    for (const auto& [symbol, value] : keywords) {
        names.push_back(KeywordName{1, symbol});
        st.values.push_back(value);
    }
    TRY_ASSIGN(outcome, dispatch_call(ctx, std::uint32_t(args.size() + 2), names, CallMode::Frame));
    return std::optional(outcome);
}

PyResult<std::optional<StepOutcome>> hand_over_unpacking_call(RuntimeContext& ctx, std::uint64_t positional,
                                                              std::span<const std::uint8_t> flags,
                                                              std::span<const KeywordName> keywords) {
    ExecState& st = ctx.exec;
    for (const KeywordName& k : keywords)
        if (k.present != 1) return std::optional<StepOutcome>();
    const std::uint64_t at = st.values.size() - positional - keywords.size();
    std::vector<Value> starred;
    bool python = false;
    for (std::uint64_t i = 0; i < positional; ++i) {
        if (!flags[i]) continue;
        starred.push_back(Value::from_int(std::int64_t(i)));
        if (!python) {
            TRY_ASSIGN(stepped, stepped_by_python(ctx, st.values[at + i], true));
            python = stepped;
        }
    }
    if (!python) return std::optional<StepOutcome>();
    TRY_ASSIGN(helper, iteration_module_function(ctx, "call_unpacked"));
    ctx.heap.push_root(helper);
    TRY_ASSIGN(indices, new_tuple(ctx, std::move(starred)));
    // helper, callee, the starred positions, then the arguments as they were.
    st.values.insert(st.values.begin() + std::ptrdiff_t(at), indices);
    st.values.insert(st.values.begin() + std::ptrdiff_t(at - 1), helper);
    TRY_ASSIGN(outcome, dispatch_call(ctx, std::uint32_t(positional + 2), keywords, CallMode::Frame));
    return std::optional(outcome);
}

bool is_iteration_module_scope(RuntimeContext& ctx, Value globals) {
    std::optional<Value> module = ctx.heap.find_module("_iteration");
    if (!module) return false;
    auto scope = module_submodule_slot(ctx.heap, *module, "_iteration");
    return scope && *scope == globals;
}

}  // namespace tw::py::vm
