// The import system: relative names, the registries, the module table, module files along the
// search path, running module bodies, and binding submodules into their packages.
#include "python/vm/imports.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "base/panic.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"
#include "python/front/definitions.h"
#include "python/front/lexer.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/compile.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/host_bridges.h"
#include "python/vm/module_registry.h"
#include "python/vm/namespace.h"
#include "python/vm/try.h"
#include "python/vm/values.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kMaxModuleSource = std::uint64_t(1) << 58;
constexpr std::uint64_t kSourceByteMemory = 64;
constexpr std::uint64_t kTokenMemory = 192;

PyError importing_refused() { return PyError::resource("resource limit exceeded while importing module"); }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// The text before the last ".", or none for an undotted name.
std::optional<std::string_view> parent_of(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return std::nullopt;
    return name.substr(0, dot);
}

std::string directory_of(std::string_view path) {
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

bool is_control_error(const PyError& e) {
    auto k = e.kind();
    return k && (*k == ErrorKindTag::Unsupported || *k == ErrorKindTag::Resource || *k == ErrorKindTag::Exit ||
                 *k == ErrorKindTag::Suspend);
}

// The absolute name of a relative import made from the running frame.
PyResult<std::string> resolve_relative(RuntimeContext& ctx, std::string_view name) {
    std::size_t level = 0;
    while (level < name.size() && name[level] == '.') ++level;
    if (level == 0) return std::string(name);
    if (ctx.exec.frames.empty()) return fail(PyError::unsupported("relative import requires a package context"));
    Value globals = ctx.exec.frames.back().globals;
    TRY_ASSIGN(package, namespace_get_str(ctx.heap, globals, "__package__"));
    if (!package) return fail(PyError::unsupported("relative import requires __package__"));
    TRY_ASSIGN(text, str_view(ctx.heap, *package));
    if (!text || text->empty()) return fail(PyError::unsupported("relative import requires a non-empty package"));
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        auto dot = text->find('.', start);
        parts.push_back(text->substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (parts.size() < level) return fail(PyError::unsupported("attempted relative import beyond top-level package"));
    parts.resize(parts.size() - level + 1);
    std::string absolute;
    for (std::string_view p : parts) {
        if (!absolute.empty()) absolute += '.';
        absolute += p;
    }
    if (name.size() > level) {
        absolute += '.';
        absolute += name.substr(level);
    }
    return absolute;
}

PyResult<Value> str_value(RuntimeContext& ctx, std::string text) {
    return new_str(ctx.heap, std::move(text), ctx.roots, ctx.machine.meter);
}

// The namespace of a module value in the table: "module {} cannot contain submodules" for a
// value that is no heap object, "module {} changed object kind" for another kind.
PyResult<Value> module_namespace(RuntimeContext& ctx, const Value& module, std::string_view name) {
    return module_submodule_slot(ctx.heap, module, name);
}

PyStatus bind_in_module(RuntimeContext& ctx, const Value& module, std::string_view module_name, std::string_view attr,
                        const Value& value) {
    TRY_ASSIGN(ns, module_namespace(ctx, module, module_name));
    TRY_ASSIGN(symbol, ctx.heap.symbols.intern(attr, ctx.machine.meter));
    return vm::store_scope_name(ctx, ns, symbol, value);
}

PyResult<Value> build_builtins_module(RuntimeContext& ctx) {
    Interpreter& in = vm::interp(ctx);
    std::vector<std::pair<std::string, Value>> attrs{
        {"__name__", Value::try_inline_str("builtins")}, {"__doc__", Value::none()}, {"__package__", Value::try_inline_str("")}};
    for (std::string_view name : builtin_module_names()) {
        TRY_DO(ctx.heap.symbols.intern(name, ctx.machine.meter));
        TRY_ASSIGN(value, vm::builtin_value_by_name(ctx, name));
        if (!value) continue;
        ctx.heap.push_root(*value);
        attrs.emplace_back(std::string(name), *value);
    }
    TRY_ASSIGN(module, new_module_object(in, ctx.machine.meter, "builtins", attrs));
    TRY_DO(ctx.heap.insert_module("builtins", module.module));
    return module.module;
}

bool known_module(RuntimeContext& ctx, std::string_view name) {
    return native_module_by_name(name) || frozen_module_source(name) || ctx.heap.find_module(name);
}

// Loads a module from source, runs its body, and gives the module object.
PyResult<Value> load_source_module(RuntimeContext& ctx, const std::string& name, const std::string& label,
                                   std::string_view source, bool package) {
    Interpreter& in = vm::interp(ctx);
    TRY_ASSIGN(code, load_module_code(ctx.machine, ctx.heap, source, label));
    Value doc = Value::none();
    if (code->docstring) {
        TRY_ASSIGN(text, str_value(ctx, *code->docstring));
        doc = text;
    }
    ctx.heap.push_root(doc);
    std::string package_name = package ? name : std::string(parent_of(name).value_or(""));
    TRY_ASSIGN(package_value, str_value(ctx, std::move(package_name)));
    TRY_ASSIGN(name_value, str_value(ctx, name));
    TRY_ASSIGN(file_value, str_value(ctx, label));
    std::vector<std::pair<std::string, Value>> attrs{
        {"__name__", name_value}, {"__doc__", doc}, {"__package__", package_value}, {"__file__", file_value}};
    TRY_ASSIGN(module, new_module_object(in, ctx.machine.meter, name, attrs));
    TRY_DO(ctx.heap.insert_module(name, module.module));
    auto r = vm::run_module_code(ctx, code, module.namespace_, label);
    if (!r) {
        ctx.heap.remove_module(name);
        return fail(std::move(r.error()));
    }
    switch (r->kind) {
        case StepOutcome::Halt: return module.module;
        case StepOutcome::Return:
            ctx.heap.remove_module(name);
            return fail(PyError::unsupported(fmt::format("'return' outside function in module {}", name)));
        case StepOutcome::Yield:
            ctx.heap.remove_module(name);
            return fail(PyError::unsupported(fmt::format("'yield' outside function in module {}", name)));
        case StepOutcome::Exit:
            ctx.heap.remove_module(name);
            return fail(PyError::unsupported(fmt::format("module {} exited with status {}", name, r->status)));
        default: panic(fmt::format("a module body cannot end with {}", debug_text(*r)));
    }
}

}  // namespace

PyResult<std::optional<ModuleFile>> find_module_file(Machine& machine, std::span<const std::string> directories,
                                                     std::string_view name) {
    const std::uint64_t n = directories.size();
    std::uint64_t total = 0;
    for (const std::string& d : directories) total = saturating_add(total, d.size());
    const std::uint64_t measure =
        saturating_add(saturating_mul(saturating_mul(2, n), saturating_add(name.size(), 12)), saturating_mul(2, total));
    TRY_DO(python_charge_cpu(machine, saturating_add(measure, saturating_mul(2, n))));
    TRY_DO(python_charge_memory(machine, measure));
    std::string relative(name);
    std::replace(relative.begin(), relative.end(), '.', '/');
    for (const std::string& directory : directories) {
        for (const char* form : {"{}.py", "{}/__init__.py"}) {
            std::string candidate = path_join_normalize(path_join_normalize("/", directory), fmt::format(fmt::runtime(form), relative));
            if (!machine.vfs.is_file_at("/", candidate)) continue;
            TRY_ASSIGN(text, vfs_read_text(machine, candidate));
            return std::optional(ModuleFile{std::move(candidate), std::move(text)});
        }
    }
    return std::optional<ModuleFile>();
}

PyResult<CodeObjectPtr> load_module_code(Machine& machine, Heap& heap, std::string_view source, std::string_view label) {
    if (source.size() >= kMaxModuleSource) return fail(PyError::unsupported("module source is too large"));
    ResourceMeter& meter = machine.meter;
    std::uint64_t charged = 0;
    struct GiveBack {
        ResourceMeter& meter;
        std::uint64_t& bytes;
        ~GiveBack() { meter.release_memory(bytes); }
    } give_back{meter, charged};
    const std::uint64_t source_memory = source.size() * kSourceByteMemory;
    if (!meter.charge_memory(source_memory)) return fail(importing_refused());
    charged = source_memory;
    auto tokens = py_tokenize(source);
    if (!tokens)
        return fail(module_source_error_at_position(tokens.error().message, label, tokens.error().span.line,
                                                    tokens.error().span.column));
    std::uint64_t token_memory = 0;
    if (__builtin_mul_overflow(std::uint64_t(tokens->size()), kTokenMemory, &token_memory))
        return fail(PyError::unsupported("module source is too large"));
    if (!meter.charge_memory(token_memory)) return fail(importing_refused());
    charged += token_memory;
    auto compiled = compile_module_source(heap, meter, source);
    if (!compiled) {
        if (compiled.error().kind() == ErrorKindTag::Unsupported && compiled.error().message() == kResourceLimitText)
            return fail(importing_refused());
        return fail(std::move(compiled.error()));
    }
    if (!*compiled)
        return fail(module_source_error_at_position(compiled->error().message, label, compiled->error().span.line,
                                                    compiled->error().span.column));
    return std::move(**compiled);
}

namespace vm {

PyResult<StepOutcome> run_module_code(RuntimeContext& ctx, const CodeObjectPtr& code, Value namespace_,
                                      const std::string& label) {
    Interpreter& in = interp(ctx);
    const bool from_file = !label.starts_with("<");
    if (from_file) in.import_directories.insert(in.import_directories.begin(), directory_of(label));
    FrameDescriptor d{std::nullopt, namespace_, namespace_, Value::absent(), false, false};
    SliceResult r = run_code_synchronously(ctx, code, d);
    if (from_file && !in.import_directories.empty()) in.import_directories.erase(in.import_directories.begin());
    if (!r) {
        PyError e = std::move(r.error().error);
        if (is_control_error(e)) append_error_location(e, label, r.error().position);
        return fail(std::move(e));
    }
    return *r;
}

PyResult<std::vector<std::string>> import_search_path(RuntimeContext& ctx) {
    Interpreter& in = interp(ctx);
    std::vector<std::string> dirs = in.import_directories;
    if (in.sys_path.is_present()) {
        const HeapSlot* slot = ctx.heap.get_if_object(in.sys_path);
        if (!slot) return fail(PyError::unsupported("sys.path lost list identity"));
        const auto* list = std::get_if<ListPayload>(&slot->object);
        if (!list) return fail(PyError::unsupported("sys.path must remain a list"));
        for (const Value& item : list->items) {
            TRY_ASSIGN(text, str_view(ctx.heap, item));
            if (!text) return fail(PyError::unsupported("sys.path entries must be strings"));
            dirs.emplace_back(*text);
        }
    } else {
        dirs.insert(dirs.end(), in.initial_search_path.begin(), in.initial_search_path.end());
    }
    if (dirs.empty()) dirs.push_back(ctx.machine.states.active().cwd);
    return dirs;
}

PyResult<Value> search_path_list(RuntimeContext& ctx) {
    Interpreter& in = interp(ctx);
    if (in.sys_path.is_present()) return ctx.heap.clone_value(in.sys_path);
    std::vector<Value> items;
    for (const std::string& dir : in.initial_search_path) {
        TRY_ASSIGN(v, str_value(ctx, dir));
        items.push_back(v);
    }
    TRY_ASSIGN(list, new_list(ctx, std::move(items)));
    in.sys_path = list;
    return list;
}

PyStatus finish_import(RuntimeContext& ctx, const std::string& name, Value value, bool return_top_level) {
    Heap& heap = ctx.heap;
    heap.push_root(value);
    if (auto parent = parent_of(name)) {
        if (auto parent_module = heap.find_module(*parent))
            TRY_DO(bind_in_module(ctx, *parent_module, *parent, name.substr(parent->size() + 1), value));
    }
    if (return_top_level && name.find('.') != std::string::npos) {
        std::vector<std::string_view> parts;
        for (std::size_t start = 0;;) {
            auto dot = name.find('.', start);
            parts.push_back(std::string_view(name).substr(start, dot == std::string::npos ? std::string::npos : dot - start));
            if (dot == std::string::npos) break;
            start = dot + 1;
        }
        for (std::size_t i = parts.size() - 1; i >= 1; --i) {
            std::string prefix;
            for (std::size_t j = 0; j < i; ++j) {
                if (j) prefix += '.';
                prefix += parts[j];
            }
            if (auto existing = heap.find_module(prefix)) {
                TRY_DO(bind_in_module(ctx, *existing, prefix, parts[i], value));
                value = *existing;
            } else {
                TRY_ASSIGN(name_value, str_value(ctx, prefix));
                std::vector<std::pair<std::string, Value>> attrs{{"__name__", name_value}, {std::string(parts[i]), value}};
                TRY_ASSIGN(module, new_module_object(interp(ctx), ctx.machine.meter, prefix, attrs));
                TRY_DO(heap.insert_module(prefix, module.module));
                value = module.module;
            }
            heap.push_root(value);
        }
    }
    ctx.exec.values.push_back(value);
    return {};
}

PyStatus import_module(RuntimeContext& ctx, std::string_view requested, bool return_top_level) {
    Heap& heap = ctx.heap;
    TRY_ASSIGN(name, resolve_relative(ctx, requested));
    if (const NativeModule* native = native_module_by_name(name))
        return finish_import(ctx, name, intern_static_definition(StaticDefinition::of_module(native)), return_top_level);
    if (auto existing = heap.find_module(name)) return finish_import(ctx, name, *existing, return_top_level);
    if (name == "builtins") {
        TRY_ASSIGN(module, build_builtins_module(ctx));
        return finish_import(ctx, name, module, return_top_level);
    }
    if (auto parent = parent_of(name); parent && !heap.find_module(*parent)) {
        bool import_parent = native_module_by_name(*parent) || frozen_module_source(*parent);
        if (!import_parent) {
            TRY_ASSIGN(dirs, import_search_path(ctx));
            TRY_ASSIGN(found, find_module_file(ctx.machine, dirs, *parent));
            import_parent = found && found->path.ends_with("/__init__.py");
        }
        if (import_parent) {
            const std::size_t height = ctx.exec.values.size();
            TRY_DO(import_module(ctx, *parent, false));
            if (ctx.exec.values.size() <= height || ctx.exec.values.back().is_absent())
                return fail(PyError::unsupported("parent import produced no value"));
            ctx.exec.values.pop_back();
        }
    }
    if (auto existing = heap.find_module(name)) return finish_import(ctx, name, *existing, return_top_level);
    std::optional<ModuleFile> file;
    bool package = false;
    if (auto stored = frozen_module_source(name)) {
        file = ModuleFile{fmt::format("<frozen {}>", name), std::string(stored->source)};
        package = stored->file_name.ends_with("__init__.py");
    } else {
        TRY_ASSIGN(dirs, import_search_path(ctx));
        TRY_ASSIGN(found, find_module_file(ctx.machine, dirs, name));
        file = std::move(found);
        package = file && file->path.ends_with("/__init__.py");
    }
    if (!file) {
        std::string_view top = std::string_view(name).substr(0, name.find('.'));
        if (!known_module(ctx, top) && sorted_names_contain(stdlib_module_names(), top))
            return fail(PyError::unsupported(fmt::format("standard-library module {} is not implemented", name)));
        return fail(PyError::exception("ModuleNotFoundError", fmt::format("No module named '{}'", name)));
    }
    TRY_ASSIGN(module, load_source_module(ctx, name, file->path, file->text, package));
    return finish_import(ctx, name, module, return_top_level);
}

PyResult<Value> import_module_value(RuntimeContext& ctx, std::string_view name) {
    const std::size_t height = ctx.exec.values.size();
    TRY_DO(import_module(ctx, name, false));
    if (ctx.exec.values.size() <= height || ctx.exec.values.back().is_absent())
        return fail(PyError::runtime_error("module import produced no value"));
    Value v = ctx.heap.clone_value(ctx.exec.values.back());
    ctx.exec.values.pop_back();
    return v;
}

std::optional<PyError> pending_exception_is(RuntimeContext& ctx, PyError error, std::string_view class_name) {
    Interpreter& in = interp(ctx);
    if (error.is_raised_marker()) {
        if (!pending_exception_is_instance(in, class_name)) return error;
        in.state.pending_exception.reset();
        return std::nullopt;
    }
    const ErrorDetail* d = error.detail();
    if (d->kind == ErrorKindTag::Exception && exception_name_is_subclass(d->class_name, class_name)) return std::nullopt;
    return error;
}

namespace {

// The name a module value answers to in messages.
std::string module_display_name(RuntimeContext& ctx, const Value& module) {
    if (auto d = decode_native_handle(module); d && d->tag == DefinitionTag::Module && d->module)
        return std::string(d->module->name);
    if (const HeapSlot* s = ctx.heap.get_if_object(module))
        if (const auto* m = std::get_if<ModulePayload>(&s->object)) return m->name;
    return {};
}

bool is_module_value(RuntimeContext& ctx, const Value& v) {
    if (auto d = decode_native_handle(v)) return d->tag == DefinitionTag::Module;
    const HeapSlot* s = ctx.heap.get_if_object(v);
    return s && std::holds_alternative<ModulePayload>(s->object);
}

}  // namespace

PyStatus import_from(RuntimeContext& ctx, Symbol name) {
    ExecState& st = ctx.exec;
    if (st.frames.empty() || st.values.size() <= st.frames.back().value_base)
        return fail(PyError::unsupported("import stack underflow"));
    Value module = ctx.heap.clone_value(st.values.back());
    TRY_ASSIGN(found, load_attribute_optional(ctx, module, name));
    if (found) {
        st.values.push_back(*found);
        return {};
    }
    const std::string attr(ctx.heap.symbols.name_of(name));
    if (!is_module_value(ctx, module)) return fail(attribute_error_for(ctx, module, attr));
    const std::string module_name = module_display_name(ctx, module);
    auto imported = import_module(ctx, fmt::format("{}.{}", module_name, attr), false);
    if (imported) return {};
    if (auto left = pending_exception_is(ctx, std::move(imported.error()), "ModuleNotFoundError")) return fail(std::move(*left));
    return fail(PyError::exception("ImportError",
                                   fmt::format("cannot import name '{}' from '{}' (unknown location)", attr, module_name)));
}

PyStatus import_star(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    if (st.frames.empty() || st.values.size() <= st.frames.back().value_base)
        return fail(PyError::unsupported("import stack underflow"));
    Value module = ctx.heap.clone_value(st.values.back());
    st.values.pop_back();
    Heap& heap = ctx.heap;
    const std::string module_name = module_display_name(ctx, module);
    std::vector<std::string> names;
    TRY_ASSIGN(all, load_attribute_optional(ctx, module, heap.symbols.intern_static("__all__")));
    if (all) {
        const HeapSlot* s = heap.get_if_object(*all);
        const std::vector<Value>* items = nullptr;
        if (s) {
            if (const auto* l = std::get_if<ListPayload>(&s->object)) items = &l->items;
            if (const auto* t = std::get_if<TuplePayload>(&s->object)) items = &t->items;
        }
        if (!items) {
            TRY_ASSIGN(type, type_name(ctx, *all));
            return fail(PyError::type_error(fmt::format("'{}' object does not support indexing", type)));
        }
        for (const Value& item : *items) {
            TRY_ASSIGN(text, str_view(heap, item));
            if (!text) {
                TRY_ASSIGN(type, type_name(ctx, item));
                return fail(PyError::type_error(fmt::format("Item in {}.__all__ must be str, not {}", module_name, type)));
            }
            names.emplace_back(*text);
        }
    } else if (auto d = decode_native_handle(module); d && d->tag == DefinitionTag::Module && d->module) {
        for (const NativeFunction& f : d->module->functions)
            if (!f.name.starts_with("_")) names.emplace_back(f.name);
        for (const NativeConstant& c : d->module->constants)
            if (!c.name.starts_with("_")) names.emplace_back(c.name);
    } else {
        TRY_ASSIGN(ns, module_namespace(ctx, module, module_name));
        TRY_ASSIGN(scope, scope_of(heap, ns));
        for (const NamespaceEntry& e : scope->entries()) {
            std::string_view text = heap.symbols.name_of(e.symbol);
            if (!text.starts_with("_")) names.emplace_back(text);
        }
    }
    const Frame& frame = st.frames.back();
    const Value target = frame.own_scope ? frame.scope : frame.globals;
    for (const std::string& n : names) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        TRY_ASSIGN(symbol, heap.symbols.intern(n, ctx.machine.meter));
        TRY_ASSIGN(v, load_attribute_optional(ctx, module, symbol));
        if (!v) return fail(attribute_error_for(ctx, module, n));
        heap.push_root(*v);
        TRY_DO(store_scope_name(ctx, target, symbol, *v));
    }
    return {};
}

}  // namespace vm
}  // namespace tw::py
