#include "python/vm/values.h"

#include <fmt/format.h>

#include <algorithm>

#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/exec_state.h"
#include "python/vm/namespace.h"
#include "python/vm/step_outcome.h"

namespace tw::py {

PyResult<Value> native_constant_to_value(Interpreter& in, ResourceMeter& meter, NativeRuntime* rt,
                                         const NativeConstant& row) {
    switch (row.tag) {
        case ConstantTag::Int: return Value::from_int(row.int_value);
        case ConstantTag::Float: return Value::from_float(row.float_value);
        case ConstantTag::Str: return new_str(in.heap, std::string(row.text), &in, meter);
        case ConstantTag::Lazy:
            if (!rt) return fail(PyError::unsupported("lazy constants need the native runtime"));
            return row.builder(*rt);
        case ConstantTag::TypeRef:
        default: {
            const auto& kinds = in.types.value_kinds();
            auto it = std::find(kinds.begin(), kinds.end(), row.kind);
            if (it == kinds.end()) return fail(PyError::unsupported("value kind is not registered"));
            return Value::registered(std::uint8_t(it - kinds.begin()), row.index);
        }
    }
}

std::vector<std::pair<std::string, Value>> symbol_pairs_to_named_values(Interpreter& in,
                                                                        std::span<const NamespaceEntry> pairs) {
    std::vector<std::pair<std::string, Value>> out;
    out.reserve(pairs.size());
    for (const NamespaceEntry& e : pairs)
        out.emplace_back(std::string(in.heap.symbols.name_of(e.symbol)), in.heap.clone_value(e.value));
    return out;
}

PyResult<std::vector<std::pair<Value, Value>>> mapping_items_as_values(Interpreter& in, ResourceMeter& meter,
                                                                       const Value& namespace_) {
    auto ns = scope_of(in.heap, namespace_);
    if (!ns) return fail(std::move(ns.error()));
    std::vector<NamespaceEntry> entries = (*ns)->entries();
    std::vector<std::pair<Value, Value>> out;
    out.reserve(entries.size());
    for (const NamespaceEntry& e : entries) {
        in.heap.push_root(e.value);
        auto name = new_str(in.heap, std::string(in.heap.symbols.name_of(e.symbol)), &in, meter);
        if (!name) return fail(std::move(name.error()));
        out.emplace_back(*name, e.value);
    }
    return out;
}

PyResult<Value> dict_from_mapping(Interpreter& in, ResourceMeter& meter, KeyProtocol& keys, const Value& namespace_) {
    auto pairs = mapping_items_as_values(in, meter, namespace_);
    if (!pairs) return fail(std::move(pairs.error()));
    return new_dict_from_pairs(in.heap, meter, keys, &in, *pairs);
}

ModuleNames::ModuleNames(const Interpreter& in) {
    for (const auto& [name, module] : in.heap.modules()) names_.push_back(name);
}

std::optional<std::string> ModuleNames::next_name() {
    if (position_ >= names_.size()) return std::nullopt;
    return names_[position_++];
}

std::string debug_text(const Value& v) {
    if (v.is_inline_str()) return fmt::format("String({:?})", std::string(v.inline_str()));
    switch (Tag(v.tag())) {
        case Tag::Int: return fmt::format("Int({})", v.as_int());
        case Tag::Float: return fmt::format("Float({})", v.as_float());
        case Tag::Bool: return fmt::format("Bool({})", v.as_bool());
        case Tag::None: return "None";
        case Tag::Object:
            return fmt::format("Object(Handle {{ index: {}, generation: {} }})", v.handle().index, v.handle().generation);
        case Tag::Native: {
            // Decode only what names a defined row; show the raw kind and index otherwise.
            const std::uint64_t i = v.native_index();
            bool known = true;
            switch (v.native_kind()) {
                case NativeKind::Module: known = module_registry_get(i) != nullptr; break;
                case NativeKind::Function: known = i < kBuiltinFunctionRows; break;
                case NativeKind::BuiltinType: known = i < kBuiltinTypeCount; break;
                case NativeKind::NativeFunction: known = native_function_registry_get(i) != nullptr; break;
                case NativeKind::NativeMethod:
                case NativeKind::NativeClassMethod: known = definition_registry_get(i) != nullptr; break;
                case NativeKind::ExceptionType: known = i < kExceptionClassRows; break;
                case NativeKind::ValueKind: known = value_kind_registry_get(i) != nullptr; break;
                case NativeKind::NativeGetter: known = native_getter_registry_get(i) != nullptr; break;
                case NativeKind::SlotWrapper: known = (i & 0xFF) < kDunderSlotCount; break;
                case NativeKind::Stream:
                case NativeKind::Environment:
                case NativeKind::TypingList:
                case NativeKind::Ellipsis:
                case NativeKind::NotImplemented:
                case NativeKind::NoReceiver: break;
                default: known = false;
            }
            if (known) return fmt::format("Native({})", debug_text(*decode_native_handle(v)));
            return fmt::format("Native(kind {}, index {})", int(v.native_kind()), i);
        }
        case Tag::Registered:
            return fmt::format("Registered {{ kind: {}, payload: {} }}", v.registered_kind(), v.registered_payload());
        default: return "Absent";
    }
}

std::string debug_text(const StaticDefinition& d) {
    switch (d.tag) {
        case DefinitionTag::Module: return fmt::format("Module(<native module {}>)", d.module ? d.module->name : "?");
        case DefinitionTag::Function:
            return fmt::format("Function({})", builtin_function_enumerator(std::uint8_t(d.number)));
        case DefinitionTag::BuiltinType:
            return fmt::format("BuiltinType({})",
                               d.number < kBuiltinTypeCount ? builtin_type_enumerator(d.number) : "?");
        case DefinitionTag::NativeFunction:
            return fmt::format("NativeFunction(<native function {}.{}>)", d.function->owner, d.function->name);
        case DefinitionTag::NativeMethod:
            return fmt::format("NativeMethod(<native method {}.{}>)", d.function->owner, d.function->name);
        case DefinitionTag::NativeClassMethod:
            return fmt::format("NativeClassMethod(<native method {}.{}>)", d.function->owner, d.function->name);
        case DefinitionTag::SlotWrapper:
            return fmt::format("SlotWrapper {{ slot: {}, owner: {} }}",
                               d.number < kDunderSlotCount ? dunder_slot_enumerator(DunderSlot(d.number)) : "?",
                               d.owner);
        case DefinitionTag::NativeGetter:
            return fmt::format("NativeGetter({}.{})", d.getter->owner, d.getter->name);
        case DefinitionTag::ValueKind: return fmt::format("ValueKind(ValueKindDef({}))", d.value_kind->name);
        case DefinitionTag::Stream: {
            static constexpr std::string_view kStreams[] = {"Stdin", "Stdout", "Stderr", "StdinBuffer"};
            return fmt::format("Stream({})", kStreams[std::min<std::uint32_t>(d.number, 3)]);
        }
        case DefinitionTag::Environment: return "Environment";
        case DefinitionTag::ExceptionType: return fmt::format("ExceptionType({:?})", d.name);
        case DefinitionTag::TypingList: return "TypingList";
        case DefinitionTag::Ellipsis: return "Ellipsis";
        case DefinitionTag::NotImplemented: return "NotImplemented";
        case DefinitionTag::NoReceiver: return "NoReceiver";
    }
    return "?";
}

std::string debug_text(const StepOutcome& o) {
    switch (o.kind) {
        case StepOutcome::Next: return "Next";
        case StepOutcome::Jump: return fmt::format("Jump({})", o.target);
        case StepOutcome::Refresh: return "Refresh";
        case StepOutcome::Return: return fmt::format("Return({})", debug_text(o.value));
        case StepOutcome::Yield: return fmt::format("Yield({})", debug_text(o.value));
        case StepOutcome::Halt: return "Halt";
        case StepOutcome::Exit: return fmt::format("Exit({})", o.status);
        case StepOutcome::Pending: return "Pending";
        case StepOutcome::Blocked: return "Blocked";
    }
    return "?";
}

}  // namespace tw::py
