// A native module `_rtops` whose functions drive the operations of the native runtime, and
// programs that call it.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "kernel/scheduler.h"
#include "pyvm/program_fixture.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/vm/call.h"
#include "python/vm/host_bridges.h"
#include "python/vm/runtime_context.h"
#include "python/vm/services.h"

namespace tw::py {
namespace {

using Args = NativeCall;

PyResult<Value> int_or_none(std::optional<std::uint64_t> v) {
    return v ? Value::from_int(std::int64_t(*v)) : Value::none();
}
std::uint64_t arg_u64(const Args& a, std::size_t i) { return std::uint64_t(a.positional.at(i).as_int()); }

PyResult<Value> pairs_to_list(NativeRuntime& rt, const std::vector<ValuePair>& pairs) {
    std::vector<Value> items;
    for (const auto& [k, v] : pairs) {
        auto t = rt.new_tuple({k, v});
        if (!t) return t;
        items.push_back(*t);
    }
    return rt.new_list(std::move(items));
}

#define UNWRAP(var, expr)                              \
    auto var##_r = (expr);                             \
    if (!var##_r) return std::unexpected(std::move(var##_r.error())); \
    auto var = std::move(*var##_r)
#define CHECK_OK(expr) \
    if (auto ok_r = (expr); !ok_r) return std::unexpected(std::move(ok_r.error()))

const NativeFunction kFunctions[] = {
    {"_rtops", "category", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(c, rt.value_category(a.positional.at(0)));
         return Value::from_int(std::int64_t(c));
     }},
    {"_rtops", "oid", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         auto id = rt.object_id(a.positional.at(0));
         return id ? Value::from_int(*id) : Value::none();
     }},
    {"_rtops", "same", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         return Value::from_bool(rt.is_identical(a.positional.at(0), a.positional.at(1)));
     }},
    {"_rtops", "i64", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         auto v = rt.to_i64(a.positional.at(0));
         return v ? Value::from_int(*v) : Value::none();
     }},
    {"_rtops", "pop", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         return rt.list_pop(a.positional.at(0), arg_u64(a, 1));
     }},
    {"_rtops", "insert", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         CHECK_OK(rt.list_insert(a.positional.at(0), arg_u64(a, 1), a.positional.at(2)));
         return Value::none();
     }},
    {"_rtops", "index", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(i, rt.list_index(a.positional.at(0), a.positional.at(1), arg_u64(a, 2), arg_u64(a, 3)));
         return int_or_none(i);
     }},
    {"_rtops", "relist", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(items, rt.tuple_to_vec(a.positional.at(1)));
         CHECK_OK(rt.list_replace(a.positional.at(0), std::move(items)));
         return Value::none();
     }},
    {"_rtops", "items", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(pairs, rt.dict_items(a.positional.at(0)));
         return pairs_to_list(rt, pairs);
     }},
    {"_rtops", "get", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(v, rt.dict_get(a.positional.at(0), a.positional.at(1)));
         return v.value_or(Value::none());
     }},
    {"_rtops", "remove", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(v, rt.dict_remove(a.positional.at(0), a.positional.at(1)));
         return v.value_or(Value::none());
     }},
    {"_rtops", "last", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(v, rt.dict_last_key(a.positional.at(0)));
         return v.value_or(Value::none());
     }},
    // vars(x) replaced by the items of a dict, through the attribute mapping.
    {"_rtops", "revars", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(mapping, rt.attribute_dict(a.positional.at(0)));
         if (!mapping) return Value::none();
         UNWRAP(pairs, rt.dict_items(a.positional.at(1)));
         CHECK_OK(rt.dict_update(*mapping, std::move(pairs)));
         UNWRAP(items, rt.dict_items(*mapping));
         return pairs_to_list(rt, items);
     }},
    {"_rtops", "setitem", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         CHECK_OK(rt.dict_set(a.positional.at(0), a.positional.at(1), a.positional.at(2)));
         return Value::none();
     }},
    {"_rtops", "sadd", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(added, rt.set_add(a.positional.at(0), a.positional.at(1)));
         return Value::from_bool(added);
     }},
    {"_rtops", "sdiscard", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(removed, rt.set_discard(a.positional.at(0), a.positional.at(1)));
         return Value::from_bool(removed);
     }},
    {"_rtops", "frozen", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(f, rt.set_is_frozen(a.positional.at(0)));
         return Value::from_bool(f);
     }},
    {"_rtops", "order", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(o, rt.compare_order(a.positional.at(0), a.positional.at(1)));
         return Value::from_int(o);
     }},
    {"_rtops", "onew", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         return rt.object_new(a.positional.at(0), a.positional.size() > 1 && a.positional[1].as_bool());
     }},
    {"_rtops", "intstr", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(text, rt.to_string(a.positional.at(0)));
         return rt.int_from_str(text.value_or(""));
     }},
    {"_rtops", "bytes_of", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(b, rt.bytearray_bytes(a.positional.at(0)));
         return rt.new_bytes(std::move(b));
     }},
    {"_rtops", "assign", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(b, rt.to_bytes(a.positional.at(1)));
         CHECK_OK(rt.bytearray_assign(a.positional.at(0), b.value_or("")));
         return Value::none();
     }},
    {"_rtops", "raise_", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(name, rt.to_string(a.positional.at(0)));
         std::string text = name.value_or("");
         static const std::string kNames[] = {"KeyError", "ValueError", "StopIteration"};
         for (const std::string& n : kNames)
             if (n == text) {
                 CHECK_OK(rt.set_pending_exception(n, {a.positional.begin() + 1, a.positional.end()}));
                 return std::unexpected(PyError::raised());
             }
         return Value::none();
     }},
    {"_rtops", "parts", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(p, rt.exception_parts(a.positional.at(0)));
         if (!p) return Value::none();
         UNWRAP(name, rt.new_str(p->first));
         UNWRAP(args, rt.new_tuple(p->second));
         return rt.new_tuple({name, args});
     }},
    {"_rtops", "modules", [](NativeRuntime& rt, Args) -> PyResult<Value> {
         UNWRAP(d, rt.sys_modules());
         UNWRAP(pairs, rt.dict_items(d));
         std::vector<Value> keys;
         for (const auto& p : pairs) keys.push_back(p.first);
         return rt.new_list(std::move(keys));
     }},
    {"_rtops", "setmod", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(name, rt.to_string(a.positional.at(0)));
         CHECK_OK(rt.set_module(name.value_or(""), a.positional.at(1)));
         return Value::none();
     }},
    {"_rtops", "rmmod", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(name, rt.to_string(a.positional.at(0)));
         return Value::from_bool(rt.remove_module(name.value_or("")));
     }},
    {"_rtops", "path", [](NativeRuntime& rt, Args) -> PyResult<Value> { return rt.search_path_list(); }},
    {"_rtops", "imp", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(name, rt.to_string(a.positional.at(0)));
         return rt.import_module(name.value_or(""));
     }},
    {"_rtops", "newmod", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(name, rt.to_string(a.positional.at(0)));
         UNWRAP(origin, rt.to_string(a.positional.at(1)));
         return rt.new_module(name.value_or(""), origin.value_or(""), Value::none(), Value::none());
     }},
    {"_rtops", "execmod", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(path, rt.to_string(a.positional.at(1)));
         CHECK_OK(rt.exec_module(a.positional.at(0), path.value_or("")));
         return Value::none();
     }},
    {"_rtops", "read_text", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(path, rt.to_string(a.positional.at(0)));
         UNWRAP(text, vfs_read_text(rt.context().machine, path.value_or("")));
         return rt.new_str(std::move(text));
     }},
    {"_rtops", "sleep_until", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         std::vector<WaitReason> waits{WaitReason::timer(arg_u64(a, 0))};
         CHECK_OK(rt.wait_resources(std::move(waits)));
         return Value::none();
     }},
    {"_rtops", "now", [](NativeRuntime& rt, Args) -> PyResult<Value> {
         return Value::from_int(std::int64_t(rt.context().machine.clock.now_ns()));
     }},
    {"_rtops", "new_ba", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(b, rt.to_bytes(a.positional.at(0)));
         return rt.new_bytearray(b.value_or(""));
     }},
    {"_rtops", "cmp", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(r, rt.compare(std::uint8_t(a.positional.at(0).as_int()), a.positional.at(1), a.positional.at(2)));
         return r ? Value::from_bool(*r) : Value::none();
     }},
    {"_rtops", "deep", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(r, rt.deep_compare(a.positional.at(0), a.positional.at(1)));
         return r ? Value::from_int(*r) : Value::none();
     }},
    {"_rtops", "rev", [](NativeRuntime& rt, Args a) -> PyResult<Value> { return rt.reversed(a.positional.at(0)); }},
    {"_rtops", "clsattr", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(v, rt.class_attribute(a.positional.at(0), std::uint8_t(a.positional.at(1).as_int())));
         return v.value_or(Value::none());
     }},
    {"_rtops", "tnew", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         NativeCall rest{{a.positional.begin() + 1, a.positional.end()}, {}};
         return rt.type_new(6, a.positional.at(0), std::move(rest));
     }},
    {"_rtops", "sreplace", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(items, rt.list_to_vec(a.positional.at(1)));
         CHECK_OK(rt.set_replace(a.positional.at(0), std::move(items)));
         return Value::none();
     }},
    {"_rtops", "ddcopy", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(dd, rt.new_defaultdict(a.positional.at(0)));
         CHECK_OK(rt.dict_set(dd, Value::from_int(1), Value::from_int(2)));
         UNWRAP(copy, rt.dict_copy(dd));
         UNWRAP(items, rt.dict_items(copy));
         UNWRAP(cat, rt.value_category(copy));
         return rt.new_tuple({Value::from_int(std::int64_t(items.size())), Value::from_int(std::int64_t(cat)),
                              Value::from_bool(rt.is_identical(copy, dd))});
     }},
    {"_rtops", "alias_args", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(alias, rt.new_generic_alias(a.positional.at(0), a.positional.at(1)));
         return alias;
     }},
    {"_rtops", "params", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(ps, rt.signature_parameters(a.positional.at(0)));
         if (!ps) return Value::none();
         std::vector<Value> out;
         for (const ParameterRecord& p : *ps) {
             UNWRAP(name, rt.new_str(p.name));
             UNWRAP(t, rt.new_tuple({name, Value::from_int(p.kind), p.default_value.value_or(Value::none())}));
             out.push_back(t);
         }
         return rt.new_list(std::move(out));
     }},
    {"_rtops", "flags", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         auto f = rt.function_flags(a.positional.at(0));
         if (!f) return Value::none();
         return rt.new_tuple({Value::from_bool(f->first), Value::from_bool(f->second)});
     }},
    {"_rtops", "op", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         return rt.apply_operator(std::uint8_t(a.positional.at(0).as_int()), std::uint8_t(a.positional.at(1).as_int()),
                                  std::span<const Value>(a.positional).subspan(2));
     }},
    {"_rtops", "kill", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         CHECK_OK(rt.kill(std::uint32_t(a.positional.at(0).as_int()), std::uint32_t(a.positional.at(1).as_int())));
         return Value::none();
     }},
    {"_rtops", "where", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         auto loc = rt.caller_location(std::uint64_t(a.positional.at(0).as_int()));
         auto mod = rt.frame_module_name(std::uint64_t(a.positional.at(0).as_int()));
         if (!loc) return Value::none();
         UNWRAP(file, rt.new_str(loc->first));
         return rt.new_tuple({file, Value::from_int(loc->second), mod.value_or(Value::none())});
     }},
    {"_rtops", "parser", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(prog, rt.to_string(a.positional.at(0)));
         return rt.new_argparse_parser(prog.value_or(""), std::nullopt, true, a.positional.size() > 1);
     }},
    {"_rtops", "addarg", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(name, rt.to_string(a.positional.at(1)));
         ArgumentSpec spec;
         spec.names = {name.value_or("")};
         spec.dest = name.value_or("");
         CHECK_OK(rt.argparse_add_argument(a.positional.at(0), std::move(spec)));
         return Value::none();
     }},
    {"_rtops", "subs", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         CHECK_OK(rt.argparse_add_subparsers(a.positional.at(0), SubparsersSpec{}));
         return Value::none();
     }},
    {"_rtops", "addcmd", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(name, rt.to_string(a.positional.at(1)));
         UNWRAP(sub, rt.new_argparse_parser(name.value_or(""), std::nullopt, true, true));
         UNWRAP(count, rt.argparse_add_parser(a.positional.at(0), SubcommandSpec{name.value_or(""), std::nullopt, sub}));
         return Value::from_int(std::int64_t(count));
     }},
    {"_rtops", "snapshot", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         const std::uint64_t before = rt.meter().memory_current();
         UNWRAP(r, rt.argparse_snapshot(a.positional.at(0)));
         const std::int64_t charged = std::int64_t(rt.meter().memory_current() - before);
         return rt.new_tuple({Value::from_int(std::int64_t(r.arguments.size())),
                              Value::from_int(r.subparsers ? std::int64_t(r.subparsers->commands.size()) : 0),
                              Value::from_int(charged)});
     }},
    {"_rtops", "rctx", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         auto name = rt.exception_type_index(a.positional.at(0));
         UNWRAP(ctx, rt.new_raises_context(name.value_or("?")));
         UNWRAP(back, rt.raises_context(ctx));
         UNWRAP(text, rt.new_str(back));
         return rt.new_tuple({text, Value::from_int(rt.native_object_kind(ctx).value_or(99)),
                              Value::from_bool(rt.is_identical(rt.exception_type_value(back), a.positional.at(0)))});
     }},
    {"_rtops", "rx", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(text, rt.to_string(a.positional.at(0)));
         UNWRAP(regex, rt.new_regex(text.value_or(""), 2));
         MatchRecord m;
         m.subject = a.positional.at(0);
         m.regex = regex;
         m.text = text.value_or("");
         m.groups = {m.text, std::nullopt};
         m.spans = {{0, m.text.size()}};
         UNWRAP(match, rt.new_match(std::move(m)));
         UNWRAP(snap, rt.match_snapshot(match));
         UNWRAP(pattern, rt.regex_pattern(regex));
         UNWRAP(p, rt.new_str(pattern.first));
         return rt.new_tuple({p, Value::from_int(pattern.second), Value::from_bool(rt.is_identical(snap.regex, regex)),
                              Value::from_int(rt.native_object_kind(regex).value_or(99)),
                              Value::from_int(rt.native_object_kind(match).value_or(99))});
     }},
    {"_rtops", "iters", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(it, rt.get_iterator(a.positional.at(0)));
         UNWRAP(first, rt.iterator_next(it));
         UNWRAP(values, rt.new_value_iterator({Value::from_int(7)}));
         UNWRAP(count, rt.new_count_iterator(5, 2));
         UNWRAP(c1, rt.iterator_next(count));
         UNWRAP(c2, rt.iterator_next(count));
         UNWRAP(v1, rt.iterator_next(values));
         UNWRAP(v2, rt.iterator_next(values));
         return rt.new_tuple({first.value_or(Value::none()), Value::from_bool(rt.iterator_kind(it)),
                              Value::from_bool(rt.iterator_kind(a.positional.at(0))), Value::from_bool(rt.iterator_state(count)),
                              c1.value_or(Value::none()), c2.value_or(Value::none()), v1.value_or(Value::none()),
                              Value::from_bool(v2.has_value()), Value::from_bool(rt.has_builtin_payload(a.positional.at(1)))});
     }},
    {"_rtops", "prog", [](NativeRuntime& rt, Args) -> PyResult<Value> { return rt.new_str(rt.program_name()); }},
    {"_rtops", "typename", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         return rt.new_str(rt.type_name(a.positional.at(0)));
     }},
    // Charges inside a nested scope: given back when the callback ends.
    {"_rtops", "nested_charge", [](NativeRuntime& rt, Args) -> PyResult<Value> {
         const std::uint64_t before = rt.meter().memory_current();
         UNWRAP(inner, rt.call_native(
                           [](NativeRuntime& nested, void*) -> PyResult<Value> {
                               CHECK_OK(nested.charge_memory(4096));
                               return Value::from_int(std::int64_t(nested.meter().memory_current()));
                           },
                           nullptr));
         return rt.new_tuple({Value::from_int(inner.as_int() - std::int64_t(before)),
                              Value::from_int(std::int64_t(rt.meter().memory_current() - before))});
     }},
    // Standard streams: selector 4 stdin text, 5 stdin bytes, 6 stdout, 7 stderr; other values as given.
    {"_rtops", "write", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         Value stream = a.positional.at(0).is_int() ? rt.static_value(std::uint8_t(a.positional[0].as_int())) : a.positional[0];
         UNWRAP(text, rt.to_string(a.positional.at(1)));
         UNWRAP(n, rt.stream_write(stream, text.value_or("")));
         return Value::from_int(std::int64_t(n));
     }},
    {"_rtops", "read", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         Value stream = a.positional.at(0).is_int() ? rt.static_value(std::uint8_t(a.positional[0].as_int())) : a.positional[0];
         const bool has_limit = !a.positional.at(1).is_none();
         UNWRAP(r, rt.stream_read(stream, has_limit, has_limit ? arg_u64(a, 1) : 0, a.positional.at(2).as_bool()));
         return r.bytes ? rt.new_bytes(std::move(r.data)) : rt.new_str(std::move(r.data));
     }},
    {"_rtops", "cstep", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(step, rt.coroutine_step(a.positional.at(0), a.positional.at(1)));
         return rt.new_tuple({Value::from_int(step.kind), step.value});
     }},
    {"_rtops", "cresult", [](NativeRuntime& rt, Args a) -> PyResult<Value> { return rt.coroutine_result(a.positional.at(0)); }},
    {"_rtops", "gthrow", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         return rt.generator_throw(a.positional.at(0), a.positional.at(1));
     }},
    {"_rtops", "gclose", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         CHECK_OK(rt.generator_close(a.positional.at(0)));
         return Value::none();
     }},
    {"_rtops", "collect", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(it, rt.collect(a.positional.at(0)));
         if (!it) return Value::none();
         UNWRAP(first, rt.iterator_next(*it));
         return first.value_or(Value::none());
     }},
    {"_rtops", "fmt", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(spec, rt.to_string(a.positional.at(1)));
         UNWRAP(text, rt.format(a.positional.at(0), spec.value_or("")));
         return rt.new_str(std::move(text));
     }},
    {"_rtops", "clocks", [](NativeRuntime& rt, Args) -> PyResult<Value> {
         PyClock& c = rt.clock();
         UNWRAP(mono, c.monotonic_ns());
         UNWRAP(mono_again, c.monotonic_ns());
         UNWRAP(proc, c.process_time_ns());
         UNWRAP(wall, c.time_ns());
         UNWRAP(secs, c.time());
         return rt.new_tuple({Value::from_bool(mono == mono_again), Value::from_bool(proc > 0),
                              Value::from_bool(wall >= std::int64_t(kBootWallMs) * 1000000),
                              Value::from_bool(secs * 1e9 >= double(wall) - 1e3)});
     }},
    {"_rtops", "mono", [](NativeRuntime& rt, Args) -> PyResult<Value> {
         UNWRAP(ns, rt.clock().monotonic_ns());
         return Value::from_int(ns);
     }},
    {"_rtops", "sleep", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         const Value v = a.positional.at(0);
         CHECK_OK(rt.clock().sleep(v.is_float() ? v.as_float() : double(v.as_int())));
         return Value::none();
     }},
    {"_rtops", "env", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         UNWRAP(name, rt.to_string(a.positional.at(0)));
         auto v = rt.environment().get(name.value_or(""));
         if (!v) return Value::none();
         return rt.new_str(std::move(*v));
     }},
    // http(method, url, [(name, value), ...]) -> None when no route matched, else (status, body).
    {"_rtops", "http", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         PyHttpRequest req;
         UNWRAP(method, rt.to_string(a.positional.at(0)));
         UNWRAP(url, rt.to_string(a.positional.at(1)));
         req.method = method.value_or("");
         req.url = url.value_or("");
         if (a.positional.size() > 2) {
             UNWRAP(headers, rt.list_to_vec(a.positional[2]));
             for (const Value& h : headers) {
                 UNWRAP(parts, rt.tuple_to_vec(h));
                 UNWRAP(n, rt.to_string(parts.at(0)));
                 UNWRAP(v, rt.to_string(parts.at(1)));
                 req.headers.emplace_back(n.value_or(""), v.value_or(""));
             }
         }
         UNWRAP(answer, rt.http().request(std::move(req)));
         if (!answer.matched) return Value::none();
         UNWRAP(body, rt.new_bytes(std::move(answer.body)));
         return rt.new_tuple({Value::from_int(answer.status), body});
     }},
    // fs(operation, *arguments): one PyVfs operation; bools, ints, texts, bytes, lists and
    // tuples (stat, disk_usage) come back as Python values.
    {"_rtops", "fs", [](NativeRuntime& rt, Args a) -> PyResult<Value> {
         PyVfs& fs = rt.vfs();
         auto text = [&](std::size_t i) -> PyResult<std::string> {
             UNWRAP(t, rt.to_string(a.positional.at(i)));
             if (t) return std::move(*t);
             UNWRAP(b, rt.to_bytes(a.positional.at(i)));
             return b.value_or("");
         };
         auto flag = [&](std::size_t i) { return a.positional.at(i).as_bool(); };
         auto none = [](PyStatus s) -> PyResult<Value> {
             if (!s) return std::unexpected(std::move(s.error()));
             return Value::none();
         };
         auto size = [](PyResult<std::uint64_t> n) -> PyResult<Value> {
             if (!n) return std::unexpected(std::move(n.error()));
             return Value::from_int(std::int64_t(*n));
         };
         UNWRAP(op, text(0));
         std::string p = a.positional.size() > 1 ? text(1).value_or("") : std::string();
         if (op == "getcwd") return rt.new_str(fs.getcwd());
         if (op == "chdir") return none(fs.chdir(p));
         if (op == "read_text") {
             UNWRAP(t, fs.read_text(p));
             return rt.new_str(std::move(t));
         }
         if (op == "read_bytes") {
             UNWRAP(b, fs.read_bytes(p));
             return rt.new_bytes(std::move(b));
         }
         if (op == "write_text") return none(fs.write_text(p, text(2).value_or("")));
         if (op == "write_bytes") return none(fs.write_bytes(p, text(2).value_or("")));
         if (op == "append_text") return size(fs.append_text(p, text(2).value_or("")));
         if (op == "append_bytes") return size(fs.append_bytes(p, text(2).value_or("")));
         if (op == "remove_file") return none(fs.remove_file(p));
         if (op == "remove_tree") return none(fs.remove_tree(p));
         if (op == "rename") return none(fs.rename(p, text(2).value_or("")));
         if (op == "exists") return Value::from_bool(fs.exists(p));
         if (op == "is_file") return Value::from_bool(fs.is_file(p));
         if (op == "is_dir") return Value::from_bool(fs.is_dir(p));
         if (op == "is_symlink") return Value::from_bool(fs.is_symlink(p));
         if (op == "list_dir") {
             UNWRAP(names, fs.list_dir(p));
             return rt.new_str_list(std::move(names));
         }
         if (op == "stat") {
             UNWRAP(st, fs.stat(p, flag(2)));
             return rt.new_tuple({Value::from_int(std::int64_t(st.size)), Value::from_int(std::int64_t(st.mtime)),
                                  Value::from_int(st.mode), Value::from_int(st.kind)});
         }
         if (op == "mkdir") return none(fs.mkdir(p, flag(2), flag(3)));
         if (op == "rmdir") return none(fs.rmdir(p));
         if (op == "chmod") return none(fs.chmod(p, std::uint32_t(arg_u64(a, 2))));
         if (op == "symlink") return none(fs.symlink(p, text(2).value_or("")));
         if (op == "readlink") {
             UNWRAP(t, fs.readlink(p));
             return rt.new_str(std::move(t));
         }
         if (op == "utime") return none(fs.utime(p));
         if (op == "disk_usage") {
             auto [used, capacity] = fs.disk_usage();
             return rt.new_tuple({Value::from_int(std::int64_t(used)), Value::from_int(std::int64_t(capacity))});
         }
         if (op == "glob") {
             UNWRAP(paths, fs.glob(p));
             return rt.new_str_list(std::move(paths));
         }
         // Budget helpers: the memory left, and a charge that leaves `n` bytes of it.
         if (op == "memory_left") return Value::from_int(std::int64_t(rt.meter().limits().memory - rt.meter().memory_current()));
         if (op == "leave_memory") {
             CHECK_OK(python_charge_memory(rt.context().machine, rt.meter().limits().memory - rt.meter().memory_current() - arg_u64(a, 1)));
             return Value::none();
         }
         return fail(PyError::value_error("unknown fs operation"));
     }},
};

const NativeModule kModule{"_rtops", kFunctions, {}};

struct RuntimeOpsFixture : ::testing::Test {
    Machine machine = Machine::build({.cpu = 50'000'000, .memory = 256 << 20, .disk = 1 << 20, .output = 1 << 20});
    Interpreter in;

    RuntimeOpsFixture() {
        (void)in.heap.insert_module("_rtops", intern_static_definition(StaticDefinition::of_module(&kModule)));
    }
};

struct OpsCase {
    const char* name;
    const char* program;
    const char* out;
    const char* message = "";
    const char* stdin_bytes = "";
};

const OpsCase kOps[] = {
    {"categories",
     "import _rtops as r\nclass C: pass\ndef f(): pass\nprint([r.category(v) for v in (None, True, 3, 2.5, 'x', b'y', r.new_ba(b''), [], (), {}, set(), f, C, C(), range(3), 2**70, 1j)])\n",
     "[0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 19, 2, 18]\n"},
    {"identity and small ints",
     "import _rtops as r\na = [1]\nprint(r.oid('short'), r.oid(5), r.oid(a) > 0, r.same('ab', 'ab'), r.same([1], [1]), r.same(a, a))\n"
     "print(r.i64(7), r.i64(True), r.i64(2**70), r.i64(1.5), r.i64('7'))\n",
     "None None True True False True\n7 1 None None None\n"},
    {"list operations",
     "import _rtops as r\nl = [1, 2, 3]\nprint(r.pop(l, 0), l)\nr.insert(l, 99, 4)\nr.insert(l, 0, 0)\nprint(l, r.index(l, 3, 0, 99), r.index(l, 9, 0, 99), r.index(l, 0, 1, 99))\n"
     "r.relist(l, (7, 8))\nprint(l)\ntry:\n    r.pop([], 0)\nexcept IndexError as e:\n    print('IndexError', e)\n",
     "1 [2, 3]\n[0, 2, 3, 4] 2 None None\n[7, 8]\nIndexError pop index out of range\n"},
    {"dict operations",
     "import _rtops as r\nd = {'a': 1, 'b': 2}\nr.setitem(d, 'a', 3)\nr.setitem(d, 'c', 4)\nprint(r.items(d), r.get(d, 'b'), r.get(d, 'z'), r.last(d))\n"
     "print(r.remove(d, 'a'), r.remove(d, 'a'), d)\n",
     "[('a', 3), ('b', 2), ('c', 4)] 2 None c\n3 None {'b': 2, 'c': 4}\n"},
    {"dict_update on a module namespace",
     "import _rtops as r\nimport m\nprint(r.revars(m, {'only': 1}))\nprint(m.only)\ntry:\n    m.x\nexcept AttributeError:\n    print('x gone')\n",
     "[('only', 1)]\n1\nx gone\n"},
    {"dict_update on an instance",
     "import _rtops as r\nclass C: pass\nc = C()\nc.a = 1\nc.b = 2\nprint(r.revars(c, {'b': 5, 'z': 6}), c.b, c.z)\n",
     "[('b', 5), ('z', 6)] 5 6\n"},
    {"set operations",
     "import _rtops as r\ns = {1}\nprint(r.sadd(s, 2), r.sadd(s, 1), r.sdiscard(s, 1), r.sdiscard(s, 9), s, r.frozen(s), r.frozen(frozenset()))\n"
     "try:\n    r.sadd(frozenset(), 1)\nexcept RuntimeError as e:\n    print(e)\n",
     "True False True False {2} False True\nset handle changed object kind\n"},
    {"order from less-than",
     "import _rtops as r\nprint(r.order(1, 2), r.order(2, 1), r.order(1, 1), r.order('b', 'a'))\n",
     "-1 1 0 1\n"},
    {"object.__new__",
     "import _rtops as r\nclass A: pass\nclass B:\n    def __init__(self, x): pass\nprint(type(r.onew(A)).__name__, type(r.onew(B, True)).__name__, type(r.onew(object)).__name__)\n"
     "for cls, args in ((int, False), (A, True), (object, True), (3, False)):\n    try:\n        r.onew(cls, args)\n    except TypeError as e:\n        print(e)\n",
     "A B object\nobject.__new__(int) is not safe, use int.__new__()\nA() takes no arguments\nobject() takes no arguments\n"
     "object.__new__(X): X is not a type object (int)\n"},
    {"integers from decimal text",
     "import _rtops as r\nprint(r.intstr('42'), r.intstr('-7'), r.intstr('1' * 30) == int('1' * 30))\ntry:\n    r.intstr('4x')\nexcept ValueError as e:\n    print(e)\n",
     "42 -7 True\ninvalid integer\n"},
    {"bytearrays",
     "import _rtops as r\nb = r.new_ba(b'abc')\nprint(r.bytes_of(b))\nr.assign(b, b'xy')\nprint(b)\ntry:\n    r.bytes_of(b'no')\nexcept RuntimeError as e:\n    print(e)\n",
     "b'abc'\nbytearray(b'xy')\nbytearray handle changed object kind\n"},
    {"pending exceptions and their parts",
     "import _rtops as r\ntry:\n    r.raise_('KeyError', 'k')\nexcept KeyError as e:\n    print(repr(e), r.parts(e))\nprint(r.parts(5))\n",
     "KeyError('k') ('KeyError', ('k',))\nNone\n"},
    {"sys.modules views",
     "import _rtops as r\nimport m\nprint(r.modules())\nr.setmod('alias', m)\nimport alias\nprint(alias is m, r.rmmod('alias'), r.rmmod('alias'))\ntry:\n    r.setmod('x', 5)\nexcept TypeError as e:\n    print(e)\n",
     "['__main__', '_rtops', 'm']\nTrue True False\nsys.modules values must be modules\n"},
    {"the sys.path list is the one the import reads",
     "import _rtops as r\np = r.path()\nprint(p, p is r.path())\np.append('/extra')\nimport late\nprint(late.v)\n",
     "['/work'] True\nlate\n"},
    {"import_module, new_module and exec_module",
     "import _rtops as r\nm = r.imp('m')\nprint(m.x)\nn = r.newmod('pkg.mod', '/work/body.py')\nprint(n.__name__, n.__package__, n.__file__, n.__loader__)\nr.execmod(n, '/work/body.py')\nprint(n.y)\n",
     "1\npkg.mod pkg /work/body.py None\n2\n"},
    {"filesystem errors as OSError subclasses",
     "import _rtops as r\nfor p in ('/nope', '/work'):\n    try:\n        r.read_text(p)\n    except OSError as e:\n        print(type(e).__name__, e)\n",
     "FileNotFoundError [Errno 2] No such file or directory: '/nope'\nIsADirectoryError [Errno 21] Is a directory: '/work'\n"},
    {"a wait outside the scheduler moves the clock",
     "import _rtops as r\nt = r.now()\nr.sleep_until(t + 10)\nprint(r.now() - t)\nr.sleep_until(t)\nprint(r.now() - t)\n",
     "10\n10\n"},
    {"a wait inside a module body is refused",
     "try:\n    import sleeper\nexcept RuntimeError as e:\n    print(e)\n",
     "resource waits require bytecode scheduler dispatch\n"},
    {"structural comparison",
     "import _rtops as r\nprint(r.cmp(2, [1, 2], [1, 2, 3]), r.cmp(0, [1], (1,)), r.cmp(2, {1}, {1, 2}), r.cmp(5, (2,), (1, 9)), r.cmp(1, [1, [2]], [1, [3]]))\n",
     "True None None True True\n"},
    {"deep comparison without user code",
     "import _rtops as r\nclass C: pass\nprint(r.deep(1, 2.5), r.deep('b', 'a'), r.deep([1, (2, 'x')], [1, (2, 'x')]), r.deep([1, 2], [1]), r.deep(b'a', b'b'),\n"
     "      r.deep(2**70, 3), r.deep('a', 1), r.deep(C(), C()), r.deep([1, 'a'], [1, 2]))\n",
     "-1 1 0 1 -1 1 None None None\n"},
    {"reversed",
     "import _rtops as r\nclass S:\n    def __getitem__(self, i): return i * 10\n    def __len__(self): return 3\nclass Bad:\n    def __getitem__(self, i): return i\n    def __len__(self): return -1\n"
     "print(r.category(r.rev([1, 2, 3])), r.category(r.rev(S())), r.category(r.rev('ab')))\nfor v in (Bad(), 5):\n    try:\n        r.rev(v)\n    except (TypeError, ValueError) as e:\n        print(type(e).__name__, e)\n",
     "14 14 14\nValueError __len__() should return >= 0\nTypeError 'int' object is not reversible\n"},
    {"class metadata",
     "import _rtops as r\nclass C: pass\nprint(r.clsattr(C, 0), r.clsattr(C, 1), r.clsattr(int, 0), r.clsattr(ValueError, 0), r.clsattr(3, 0))\n",
     "C __main__ int ValueError None\n"},
    {"int.__new__",
     "import _rtops as r\nprint(r.tnew(int, '5'))\nfor cls in (str, 3):\n    try:\n        r.tnew(cls)\n    except TypeError as e:\n        print(e)\n",
     "5\nint.__new__(str): str is not a subtype of int\nint.__new__(X): X is not a type object (int)\n"},
    {"set replacement",
     "import _rtops as r\ns = {1, 2, 3}\nr.sreplace(s, [4, 4, 5])\nprint(s)\ntry:\n    r.sreplace(frozenset(), [1])\nexcept RuntimeError as e:\n    print(e)\n",
     "{4, 5}\nfrozenset items cannot be replaced\n"},
    {"defaultdict copies",
     "import _rtops as r\nprint(r.ddcopy(list))\n",
     "(1, 9, False)\n"},
    {"signatures and flags",
     "import _rtops as r\ndef f(a, b=2, *rest, c=3, **kw): pass\nclass K:\n    def m(self, x): pass\n    def star(*args): pass\n    def none(): pass\ndef g():\n    yield 1\n"
     "print(r.params(f))\nprint(r.params(K().m), r.params(K().star), r.params(5))\ntry:\n    r.params(K().none)\nexcept ValueError as e:\n    print(e)\nprint(r.flags(f), r.flags(g), r.flags(K().m), r.flags(1))\n",
     "[('a', 1, None), ('b', 1, 2), ('rest', 2, None), ('c', 3, 3), ('kw', 4, None)]\n[('x', 1, None)] [('args', 2, None)] None\ninvalid method signature\n(False, False) (True, False) (False, False) None\n"},
    {"operators",
     "import _rtops as r\nprint(r.op(1, 0, 2, 3), r.op(2, 2, 1, 2), r.op(3, 0, -4), r.op(0, 1, 5))\ntry:\n    r.op(1, 0, 1)\nexcept RuntimeError as e:\n    print(e)\n",
     "5 True 4 -5\noperator received the wrong arity\n"},
    {"signals to a missing process",
     "import _rtops as r\ntry:\n    r.kill(4242, 15)\nexcept OSError as e:\n    print(type(e).__name__, e)\n",
     "ProcessLookupError [Errno 3] No such process\n"},
    {"caller locations",
     "import _rtops as r\ndef f():\n    return r.where(1)\nprint(f())\nprint(r.where(0), r.where(9))\n",
     "('<string>', 4, '__main__')\n('<string>', 5, '__main__') None\n"},
    {"argument parsers",
     "import _rtops as r\np = r.parser('tool')\nr.addarg(p, 'x')\nr.addarg(p, 'y')\nr.addarg(p, 'z')\nfor step in (lambda: r.addcmd(p, 'a'), lambda: r.subs(p), lambda: r.addcmd(p, 'a'), lambda: r.addcmd(p, 'b'),\n"
     "             lambda: r.addcmd(p, 'a'), lambda: r.subs(p), lambda: r.subs(r.parser('sub', True))):\n    try:\n        print(step())\n    except ValueError as e:\n        print(e)\nprint(r.snapshot(p))\n",
     "add_subparsers() must be called first\nNone\n1\n2\nconflicting subparser: a\nparser already has subparsers\nnested argparse subparsers are not supported\n(3, 2, 580)\n"},
    {"raises contexts, patterns and matches",
     "import _rtops as r\nprint(r.rctx(KeyError))\nprint(r.rx('a+b'))\n",
     "('KeyError', 3, True)\n('a+b', 2, True, 0, 1)\n"},
    {"iterators",
     "import _rtops as r\nclass C: pass\nprint(r.iters([4, 5], C()), r.iters('x', 3)[-1])\n",
     "(4, True, False, True, 5, 7, 7, False, True) False\n"},
    {"program name and type names",
     "import _rtops as r\nclass K: pass\nprint(r.prog(), r.typename(K()), r.typename(3))\n",
     "-c K int\n"},
    {"standard stream writes",
     "import _rtops as r\nn = r.write(6, 'h\u00e9llo')\nprint('', n, r.write(7, 'e'))\nfor s, t in ((4, 'x'), (5, 'x'), ('no', 'x')):\n"
     "    try:\n        r.write(s, t)\n    except (TypeError, ValueError) as e:\n        print(type(e).__name__, e)\n",
     "h\u00e9llo 5 1\nValueError standard input is not writable\nValueError standard input is not writable\n"
     "TypeError expected a simulated stream\n"},
    {"standard input reads share one position",
     "import _rtops as r\nprint(repr(r.read(4, None, True)), r.read(4, 0, True) == '', repr(r.read(5, 2, False)), repr(r.read(4, 3, False)),\n"
     "      repr(r.read(5, None, False)), repr(r.read(4, None, False)))\ntry:\n    r.read(6, None, False)\nexcept ValueError as e:\n    print(e)\n",
     "'ab\\n' True b'\\xc3\\xa9' 'cd\\n' b'ef' ''\nonly standard input is readable\n", "", "ab\n\xc3\xa9" "cd\nef"},
    {"coroutine steps and results",
     "import _rtops as r\nasync def ok():\n    return 7\nasync def bad():\n    raise KeyError('k')\nc = ok()\ntry:\n    r.cresult(c)\nexcept RuntimeError as e:\n    print(e)\n"
     "print(r.cstep(c, None), r.cresult(c))\nkind, exc = r.cstep(bad(), None)\nprint(kind, repr(exc))\ntry:\n    r.cstep(5, None)\nexcept TypeError as e:\n    print(e)\n",
     "coroutine has not completed\n(1, 7) 7\n2 KeyError('k')\nexpected a coroutine\n"},
    {"generator throw and close",
     "import _rtops as r\ndef g():\n    try:\n        yield 1\n    except KeyError:\n        yield 'caught'\n    yield 'after'\nx = g()\nnext(x)\nprint(r.gthrow(x, KeyError))\n"
     "for exc in (5, ValueError):\n    try:\n        r.gthrow(x, exc)\n    except (TypeError, ValueError) as e:\n        print(type(e).__name__, e)\n"
     "y = g()\nnext(y)\nr.gclose(y)\nprint(list(y))\ndef h():\n    yield 1\n    return 9\nz = h()\nnext(z)\ntry:\n    r.gthrow(z, GeneratorExit)\nexcept GeneratorExit:\n    print('exit')\n",
     "caught\nTypeError exceptions must be classes or instances deriving from BaseException, not int\nValueError \n[]\nexit\n"},
    {"collect gives native iterators only",
     "import _rtops as r\nclass C:\n    def __iter__(self):\n        return iter([1])\nprint(r.collect([4, 5]), r.collect('xy'), r.collect(C()), r.collect(3))\n",
     "4 x None None\n"},
    {"format",
     "import _rtops as r\nclass F:\n    def __format__(self, spec):\n        return 'F' + spec\nprint(r.fmt(3.5, '>6'), r.fmt(12, ''), r.fmt(F(), 'x'), r.fmt(True, 'd'))\n",
     "   3.5 12 Fx 1\n"},
    {"clock reads and sleeps",
     "import _rtops as r\nprint(r.clocks())\nt = r.mono()\nr.sleep(0.5)\nr.sleep(0)\nprint(r.mono() - t)\ntry:\n    r.sleep(2**64 / 1e9 * 2)\nexcept OverflowError as e:\n    print(e)\n",
     "(True, True, True, True)\n500000000\ntime.sleep() length is too large\n"},
    {"environment",
     "import _rtops as r\nprint(r.env('HOME'), r.env('PWD'), r.env('NO_SUCH_VARIABLE'))\n",
     "/root / None\n"},
    {"http requests",
     "import _rtops as r\nprint(r.http('GET', 'http://api.test/x'), r.http('GET', 'http://other.test/'), r.http('X-Y', 'http://api.test/y', [('A-b', 'c')]))\n"
     "for args in (('get', 'http://a/'), ('GET', 'ftp://a/'), ('GET', 'HTTP://a/'), ('GET', 'http://' + 'a' * 8186),\n"
     "             ('GET', 'http://a/', [('bad name', 'x')]), ('GET', 'http://a/', [('n', 'x\\ny')]), ('GET', 'http://a/', [('n', 'v')] * 129)):\n"
     "    try:\n        print(r.http(*args))\n    except ValueError as e:\n        print(e)\n",
     "(201, b'pong') None (201, b'pong')\nHTTP method must be a non-empty uppercase ASCII token\nonly http:// and https:// URLs are supported\n"
     "only http:// and https:// URLs are supported\nHTTP URL exceeds 8192 bytes\ninvalid HTTP request header\ninvalid HTTP request header\n"
     "HTTP request has more than 128 headers\n"},
    {"filesystem: working directory",
     "import _rtops as r\nf = r.fs\nf('mkdir', '/work/sub', False, False)\nf('chdir', '/work')\nf('chdir', 'sub')\nprint(f('getcwd'), r.env('PWD'))\n"
     "f('symlink', '/tmp', '/work/t')\nf('chdir', '/work/t')\nprint(f('getcwd'))\nf('chdir', '/proc')\nprint(f('getcwd'))\n"
     "for p in ('../work/m.py', 'nope'):\n    try:\n        f('chdir', p)\n    except OSError as e:\n        print(type(e).__name__, e)\nprint(f('getcwd'))\n",
     "/work/sub /work/sub\n/tmp\n/proc\nNotADirectoryError Not a directory: ../work/m.py\n"
     "FileNotFoundError [Errno 2] No such file or directory: '/proc/nope'\n/proc\n"},
    {"filesystem: whole-file reads, writes and appends",
     "import _rtops as r\nf = r.fs\nf('chdir', '/work')\nf('write_text', 'a.txt', 'h\\u00e9llo')\nprint(f('read_text', 'a.txt'), f('read_bytes', 'a.txt'))\n"
     "print(f('append_text', 'a.txt', '!'), f('append_bytes', 'new.bin', b'\\xff'), oct(f('stat', 'new.bin', True)[2]), f('read_text', 'a.txt'))\n"
     "f('write_bytes', 'd/e/f.bin', b'\\x00\\xff')\nprint(f('read_bytes', 'd/e/f.bin'), f('is_dir', 'd/e'), oct(f('stat', 'd/e/f.bin', True)[2]))\n"
     "f('symlink', 'a.txt', 'lnk')\nprint(f('append_text', 'lnk', 'xy'), f('is_symlink', 'lnk'), f('read_text', 'lnk'), f('read_text', 'a.txt'))\n"
     "f('write_text', 'a.txt', '')\nprint(repr(f('read_text', 'a.txt')))\n"
     "for op, p, data in (('read_text', 'd/e/f.bin', None), ('append_text', '/work', 'x'), ('append_bytes', 'no/dir', b'x'),\n"
     "                    ('write_text', '/proc/x', 'x'), ('append_text', '/dev/y', 'x'), ('write_text', '/work', 'x'), ('read_bytes', 'd', None)):\n"
     "    try:\n        f(op, p) if data is None else f(op, p, data)\n    except (OSError, RuntimeError) as e:\n        print(type(e).__name__, e)\n",
     "h\u00e9llo b'h\\xc3\\xa9llo'\n7 1 0o644 h\u00e9llo!\nb'\\x00\\xff' True 0o644\n2 False xy h\u00e9llo!\n''\n"
     "RuntimeError file is not UTF-8: d/e/f.bin\nIsADirectoryError [Errno 21] Is a directory: '/work'\n"
     "FileNotFoundError [Errno 2] No such file or directory: '/work/no'\nOSError [Errno 30] Read-only filesystem: '/proc/x'\n"
     "OSError [Errno 30] Read-only filesystem: '/dev/y'\nIsADirectoryError [Errno 21] Is a directory: '/work'\n"
     "IsADirectoryError [Errno 21] Is a directory: 'd'\n"},
    {"filesystem: removal, rename and links",
     "import _rtops as r\nf = r.fs\nf('chdir', '/work')\nf('mkdir', 't/u', True, False)\nf('write_text', 't/u/x', '1')\nf('symlink', '/work/m.py', 't/l')\n"
     "f('remove_tree', 't')\nprint(f('exists', 't'), f('exists', 'm.py'))\nf('remove_tree', 'body.py')\nprint(f('exists', 'body.py'))\n"
     "f('symlink', 'gone', 'dang')\nprint(f('exists', 'dang'), f('is_symlink', 'dang'), f('readlink', 'dang'))\nf('remove_file', 'dang')\nprint(f('is_symlink', 'dang'))\n"
     "f('rename', 'm.py', 'n.py')\nprint(f('exists', 'm.py'), f('read_text', 'n.py'))\n"
     "f('mkdir', 'd1', False, False)\nf('write_text', 'd1/z', 'z')\nf('mkdir', 'd2', False, False)\nf('rename', 'd1', 'd2')\nf('rename', 'd2', '/work/d2')\nf('rename', 'n.py', './n.py')\nprint(f('list_dir', 'd2'), f('exists', 'd1'))\n"
     "f('mkdir', 'd3', False, False)\nf('write_text', 'd3/q', 'q')\n"
     "for op, args in (('remove_tree', ('/proc',)), ('remove_tree', ('/dev/null',)), ('remove_tree', ('nope',)), ('remove_tree', ('/',)), ('readlink', ('n.py',)),\n"
     "                 ('rename', ('n.py', 'd3')), ('rename', ('d2', 'd3')), ('rmdir', ('d3',)), ('rmdir', ('n.py',)), ('remove_file', ('nope',)),\n"
     "                 ('symlink', ('x', 'n.py')), ('rename', ('nope', 'x'))):\n"
     "    try:\n        f(op, *args)\n    except OSError as e:\n        print(type(e).__name__, e)\n"
     "print(f('list_dir', 'd2'), f('list_dir', 'd3'), f('read_text', 'n.py'))\nf('rmdir', 'd2/z') if False else f('remove_file', 'd2/z')\nf('rmdir', 'd2')\nprint(f('exists', 'd2'))\n",
     "False True\nFalse\nFalse True gone\nFalse\nFalse x = 1\n\n['z'] False\n"
     "OSError [Errno 30] Read-only filesystem: '/proc'\nOSError [Errno 30] Read-only filesystem: '/dev/null'\n"
     "FileNotFoundError [Errno 2] No such file or directory: '/work/nope'\nOSError [Errno 22] Invalid argument: '/'\nOSError [Errno 22] Invalid argument: 'n.py'\n"
     "IsADirectoryError [Errno 21] Is a directory: 'd3'\nOSError [Errno 39] Directory not empty: 'd3'\nOSError [Errno 39] Directory not empty: 'd3'\n"
     "NotADirectoryError [Errno 20] Not a directory: 'n.py'\nFileNotFoundError [Errno 2] No such file or directory: 'nope'\n"
     "FileExistsError [Errno 17] File exists: 'n.py'\nFileNotFoundError [Errno 2] No such file or directory: 'nope'\n"
     "['z'] ['q'] x = 1\n\nFalse\n"},
    {"filesystem: listing, metadata and directories",
     "import _rtops as r\nf = r.fs\nf('chdir', '/work')\nprint(f('list_dir', '.'), 'self' in f('list_dir', '/proc'))\n"
     "print(f('stat', 'm.py', True)[::2], oct(f('stat', 'm.py', True)[2]), f('stat', '/proc', True)[3], f('stat', '/work', True)[0])\n"
     "f('symlink', 'm.py', 'l')\nprint(f('stat', 'l', False)[0], f('stat', 'l', False)[3], f('stat', 'l', True)[3], f('is_file', 'l'), f('is_dir', '/work'))\n"
     "print(f('exists', '/proc/self'), f('is_symlink', '/proc/self'), f('is_file', '/proc/uptime'), f('exists', 'nope'))\n"
     "f('mkdir', 'a/b/c', True, False)\nf('mkdir', 'a/b', False, True)\nf('mkdir', 'a/b', True, True)\nprint(f('is_dir', 'a/b/c'))\n"
     "f('chmod', 'm.py', 0o100751)\nprint(oct(f('stat', 'm.py', True)[2]))\nt = f('stat', 'm.py', True)[1]\nr.sleep(2)\nf('utime', 'm.py')\nprint(f('stat', 'm.py', True)[1] - t >= 2000)\n"
     "used, cap = f('disk_usage')\nf('write_text', 'big', 'x' * 1000)\nprint(cap, f('disk_usage')[0] - used)\n"
     "for op, args in (('mkdir', ('m.py', True, False)), ('mkdir', ('a', False, False)), ('mkdir', ('p/q', False, False)), ('mkdir', ('m.py/x', True, False)),\n"
     "                 ('list_dir', ('m.py',)), ('list_dir', ('nope',)), ('stat', ('nope', True)), ('chmod', ('nope', 0)), ('utime', ('nope',)), ('mkdir', ('/proc/x', True, False))):\n"
     "    try:\n        f(op, *args)\n    except OSError as e:\n        print(type(e).__name__, e)\nprint(f('exists', 'nope'))\n",
     "['body.py', 'm.py', 'sleeper.py'] True\n(6, 420) 0o644 1 0\n4 2 0 True True\nFalse True False False\nTrue\n0o751\nTrue\n1048576 1256\n"
     "FileExistsError [Errno 17] File exists: 'm.py'\nFileExistsError [Errno 17] File exists: 'a'\n"
     "FileNotFoundError [Errno 2] No such file or directory: '/work/p'\nNotADirectoryError [Errno 20] Not a directory: '/work/m.py'\n"
     "NotADirectoryError [Errno 20] Not a directory: 'm.py'\nFileNotFoundError [Errno 2] No such file or directory: 'nope'\n"
     "FileNotFoundError [Errno 2] No such file or directory: 'nope'\nFileNotFoundError [Errno 2] No such file or directory: 'nope'\n"
     "FileNotFoundError [Errno 2] No such file or directory: 'nope'\nOSError [Errno 30] Read-only filesystem: '/proc/x'\nFalse\n"},
    {"filesystem: glob",
     "import _rtops as r\nf = r.fs\nfor p in ('a.py', '.b.py', 'b1.py', 'sub/c.py', 'sub/.h/d.py', 'x[1]/e.py'):\n    f('write_text', '/work/g/' + p, '')\n"
     "f('chdir', '/work/g')\nfor p in ('*.py', '/work/g/*.py', '/work/g/**/*.py', '**', '.*', 'sub/.h/*', '[ab].py', '[!a]*.py', '?.py', '*.PY', 'x[[]1]/*', '[]]', 'sub/**', '/work/g/*/', '/'):\n"
     "    print(p, f('glob', p))\nf('chdir', 'x[1]')\nprint(f('glob', '*'))\n"
     "for p in ('a**', '**b/c', '***', 'x/***/y', '[ab', '[!]'):\n    try:\n        f('glob', p)\n    except ValueError as e:\n        print(e)\n",
     "*.py ['a.py', 'b1.py']\n/work/g/*.py ['/work/g/a.py', '/work/g/b1.py']\n/work/g/**/*.py ['/work/g/a.py', '/work/g/b1.py', '/work/g/sub/c.py', '/work/g/x[1]/e.py']\n"
     "** ['a.py', 'b1.py', 'sub', 'sub/c.py', 'x[1]', 'x[1]/e.py']\n.* ['.b.py']\nsub/.h/* ['sub/.h/d.py']\n[ab].py ['a.py']\n[!a]*.py ['b1.py']\n?.py ['a.py']\n"
     "*.PY []\nx[[]1]/* ['x[1]/e.py']\n[]] []\nsub/** ['sub', 'sub/c.py']\n/work/g/*/ ['/work/g/sub/', '/work/g/x[1]/']\n/ ['/']\n['e.py']\n"
     "invalid glob pattern: recursive wildcards must form a single path component\ninvalid glob pattern: recursive wildcards must form a single path component\n"
     "invalid glob pattern: wildcards are either regular `*` or recursive `**`\ninvalid glob pattern: wildcards are either regular `*` or recursive `**`\n"
     "invalid glob pattern: invalid range pattern\ninvalid glob pattern: invalid range pattern\n"},
    {"comparison of builtin values without methods",
     "import _rtops as r\nprint(r.deep(2**64, 1.5), r.deep(3, 3.5), r.deep(-3, -3.5), r.deep(1, float('nan')), r.deep(b'ab', b'abc'), r.deep([1, 'x'], [2, 'y']))\n"
     "print(r.cmp(0, {1: 2}, {1: 2.0}), r.cmp(0, [1, 2], (1, 2)))\nd = {1: 1, 2: 2, 3: 3}\ndel d[2]\nd[4] = 4\nprint(r.cmp(0, d, {1: 1, 3: 3, 5: 4}), r.cmp(0, d, {1: 1, 3: 3, 4: 4}))\n"
     "a = []\na.append(a)\nprint(r.cmp(0, a, a), r.deep(a, a))\ndef nest(n):\n    x = []\n    for i in range(n):\n        x = [x]\n    return x\n"
     "print(r.cmp(0, nest(250), nest(250)), r.deep(nest(250), nest(250)))\nfor f in (r.cmp, r.deep):\n    try:\n        print(f(0, nest(300), nest(300)) if f is r.cmp else f(nest(300), nest(300)))\n"
     "    except RecursionError as e:\n        print(e)\nprint(r.cmp(0, [1], [1]))\n",
     "1 -1 1 None -1 -1\nTrue None\nFalse True\nTrue 0\nTrue 0\nmaximum recursion depth exceeded in comparison\nmaximum recursion depth exceeded in comparison\nTrue\n"},
    {"class bases and method order",
     "import _rtops as r\nclass B: pass\nclass C(B): pass\nprint(r.clsattr(B, 2), r.clsattr(C, 3) == (C, B, object), r.clsattr(5, 2))\n",
     "(<class 'object'>,) True None\n"},
    {"namespace keys must be strings",
     "import _rtops as r\nimport m\nfor bad in (lambda: r.setitem(vars(m), 1, 2), lambda: r.revars(m, {1: 2})):\n    try:\n        bad()\n    except TypeError as e:\n        print(e)\n",
     "namespace keys must be str, not int\nnamespace keys must be str, not int\n"},
    {"charges of a nested scope end with it",
     "import _rtops as r\nprint(r.nested_charge())\n",
     "(4096, 0)\n"},
};

class RuntimeOpsTable : public RuntimeOpsFixture, public ::testing::WithParamInterface<OpsCase> {};

TEST_P(RuntimeOpsTable, Runs) {
    const OpsCase& c = GetParam();
    ASSERT_TRUE(machine.vfs.create_dir_all("/", "/work").has_value());
    ASSERT_TRUE(machine.vfs.write_file("/work/m.py", "x = 1\n", 0644).has_value());
    ASSERT_TRUE(machine.vfs.write_file("/work/body.py", "y = 2\n", 0644).has_value());
    ASSERT_TRUE(machine.vfs.write_file("/work/sleeper.py", "import _rtops\n_rtops.sleep_until(10)\n", 0644).has_value());
    ASSERT_TRUE(machine.vfs.create_dir_all("/", "/extra").has_value());
    ASSERT_TRUE(machine.vfs.write_file("/extra/late.py", "v = 'late'\n", 0644).has_value());
    ASSERT_TRUE(machine.broker.add_static_route("http://api.test/*", 201, Bytes(std::string("pong"))).has_value());
    in.initial_search_path = {"/work"};
    auto r = run_program_on(machine, in, c.program, {"-c"}, c.stdin_bytes);
    EXPECT_EQ(r.out, c.out) << r.err;
    EXPECT_EQ(r.message, c.message) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Operations, RuntimeOpsTable, ::testing::ValuesIn(kOps), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

TEST_F(RuntimeOpsFixture, FileErrorTraceback) {
    auto r = run_program_on(machine, in, "import _rtops\n_rtops.read_text('/nope')\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("FileNotFoundError: [Errno 2] No such file or directory: '/nope'\n"), std::string::npos) << r.err;
}

// Runs `source` as a scheduled process: it must park on a timer at `deadline`; after the clock
// reaches it the program finishes, and its output is returned.
std::string park_then_finish(RuntimeOpsFixture& f, const std::string& source, std::uint64_t deadline) {
    auto code = compile_module_source(f.in.heap, f.machine.meter, source);
    EXPECT_TRUE(code && *code);
    if (!code || !*code) return {};
    std::vector<std::string> argv{"-c"};
    std::string out, err;
    auto run = [&] {
        MainModuleStep step;
        do {
            step = run_main_module(f.in, **code, f.machine, argv, {}, {.dispatched = true}, out, err);
        } while (step.kind == MainModuleStep::Kind::NotFinished);
        return step;
    };
    MainModuleStep step = run();
    EXPECT_EQ(step.kind, MainModuleStep::Kind::Blocked) << err;
    if (step.kind != MainModuleStep::Kind::Blocked) return out;
    EXPECT_EQ(*step.wait, WaitReason::timer(deadline));
    EXPECT_TRUE(f.machine.advance_time_to(deadline).has_value());
    EXPECT_EQ(run().kind, MainModuleStep::Kind::Finished) << err;
    return out;
}

// Under the scheduler a wait parks the program on a timer; after the wake it goes on.
TEST_F(RuntimeOpsFixture, SleepParksOnATimer) {
    const std::uint64_t deadline = machine.clock.now_ns() + 5000;
    EXPECT_EQ(park_then_finish(*this, "import _rtops\nprint('before')\n_rtops.sleep_until(" + std::to_string(deadline) +
                                          ")\nprint('after')\n", deadline),
              "before\nafter\n");
}

// time.sleep under the scheduler parks the program once; the call that runs again after the wake
// returns instead of sleeping again.
TEST_F(RuntimeOpsFixture, SleepUnderTheSchedulerParksOnce) {
    const std::uint64_t deadline = machine.clock.now_ns() + 5000;
    EXPECT_EQ(park_then_finish(*this, "import _rtops\n_rtops.sleep(0.000005)\nprint(_rtops.mono())\n", deadline),
              std::to_string(deadline) + "\n");
}

}  // namespace
}  // namespace tw::py

namespace tw::py {
namespace {

void add_rtops(Interpreter& in) {
    (void)in.heap.insert_module("_rtops", intern_static_definition(StaticDefinition::of_module(&kModule)));
}

TEST_F(RuntimeOpsFixture, FileReadsStopAtFourMiB) {
    machine.vfs.set_capacity(16 << 20);
    ASSERT_TRUE(machine.vfs.write_file("/big", Bytes(4194304, 'a'), 0644).has_value());
    const std::uint64_t cpu_before = machine.meter.cpu_used();
    auto r = run_program_on(machine, in, "import _rtops as r\nprint(len(r.fs('read_bytes', '/big')), len(r.fs('read_text', '/big')))\n");
    EXPECT_EQ(r.out, "4194304 4194304\n") << r.err;
    EXPECT_GE(machine.meter.cpu_used() - cpu_before, 2u * 4194304);  // each read pays for its bytes
    ASSERT_TRUE(machine.vfs.write_file_range("/big", 4194304, "a").has_value());
    for (const char* op : {"read_bytes", "read_text"}) {
        Interpreter fresh;
        add_rtops(fresh);
        auto big = run_program_on(machine, fresh, fmt::format("import _rtops as r\nr.fs('{}', '/big')\n", op));
        EXPECT_EQ(big.message, fmt::format("{} file exceeds the 4 MiB limit at line 2, column 1", op == std::string("read_text") ? "text" : "binary"));
    }
}

// A charge the budget refuses stops the run before the filesystem changes; the same call with
// data that fits in what is left succeeds.
TEST(RuntimeOpsBudget, RefusedChargeChangesNothing) {
    for (const char* op : {"write_bytes", "append_bytes", "write_text", "append_text"}) {
        for (const char* data : {"small", "big"}) {
            Machine machine = Machine::build({.cpu = 50'000'000, .memory = 8 << 20, .disk = 16 << 20, .output = 1 << 20});
            Interpreter in;
            add_rtops(in);
            auto r = run_program_on(machine, in, fmt::format("import _rtops as r\nsmall = 'x' * 10\nbig = 'x' * 1000\n"
                                                             "r.fs('leave_memory', 999)\nr.fs('{}', '/x', {})\n", op, data));
            const bool fits = data == std::string("small");
            EXPECT_EQ(r.status, fits ? 0 : 137) << op << " " << data << r.err;
            EXPECT_EQ(machine.meter.stop_reason().has_value(), !fits) << op << " " << data;
            EXPECT_EQ(machine.vfs.node("/x") != nullptr, fits) << op << " " << data;
        }
    }
}

}  // namespace
}  // namespace tw::py
