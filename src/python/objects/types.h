// The type registry: every Python type the interpreter knows is one `TypeRecord`, named by its
// `TypeId` (the record's position). Built once per program (43 builtin types, 24 value kinds, 72
// exception classes) and grown by the classes programs create. Dunder operations find their
// implementation by one index into the type's resolved slot table; inheritance is resolved when
// a type is built, never at lookup.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"

namespace tw::py {

enum class DunderSlot : std::uint8_t {
    Call, New, Init, GetAttribute, SetAttribute, Repr, String, Bool, Hash, Iter, Next, Length, GetItem,
    SetItem, Positive, Negative, Invert, Absolute, Add, ReflectedAdd, Subtract, ReflectedSubtract, Multiply,
    ReflectedMultiply, MatrixMultiply, ReflectedMatrixMultiply, Power, ReflectedPower, Divide,
    ReflectedDivide, FloorDivide, ReflectedFloorDivide, Remainder, ReflectedRemainder, DivMod,
    ReflectedDivMod, LeftShift, ReflectedLeftShift, RightShift, ReflectedRightShift, BitwiseAnd,
    ReflectedBitwiseAnd, BitwiseXor, ReflectedBitwiseXor, BitwiseOr, ReflectedBitwiseOr, Equal, NotEqual,
    LessThan, LessEqual, GreaterThan, GreaterEqual, Contains, DeleteItem, Format, Reversed, DeleteAttribute,
    ClassGetItem, InitSubclass, InplaceAdd, InplaceSubtract, InplaceMultiply, InplaceMatrixMultiply,
    InplacePower, InplaceDivide, InplaceFloorDivide, InplaceRemainder, InplaceLeftShift, InplaceRightShift,
    InplaceBitwiseAnd, InplaceBitwiseXor, InplaceBitwiseOr,
};
inline constexpr std::size_t kDunderSlotCount = 72;

struct DunderSlotRow {
    std::string_view name;
    std::uint16_t code;  // slot number in the low byte, arity in the high byte (255: any)
    DunderSlot slot() const { return DunderSlot(code & 0xFF); }
    std::uint8_t arity() const { return std::uint8_t(code >> 8); }
};
extern const std::array<DunderSlotRow, kDunderSlotCount> kDunderSlots;
inline std::string_view dunder_name(DunderSlot s) { return kDunderSlots[std::size_t(s)].name; }

// Results of slot functions: a value, not applicable (nullopt), or an error.
using SlotValue = PyResult<std::optional<Value>>;
using SlotCompare = PyResult<std::optional<bool>>;
using UnarySlotFn = SlotValue (*)(NativeRuntime& rt, Value self);
using BinarySlotFn = SlotValue (*)(NativeRuntime& rt, Value self, Value other);
using TernarySlotFn = SlotValue (*)(NativeRuntime& rt, Value self, Value a, Value b);
// Operator 0..5: ==, !=, <, <=, >, >= (the slot minus 46).
using RichCompareFn = SlotCompare (*)(NativeRuntime& rt, Value left, Value right, std::uint8_t op);

enum class SlotKind : std::uint32_t {
    Callable = 0,
    NativeMethod = 1,
    BuiltinRepr = 2,
    BuiltinHash = 3,
    RichCompare = 4,
    Binary = 5,
    Ternary = 6,
    Unary = 7,
    Empty = 0xFFFFFFFF,
};

struct SlotEntry {
    SlotKind kind = SlotKind::Empty;
    TypeId owner = 0;                         // Callable: where the value was found
    Value value;                              // Callable: the value bound under the dunder name
    const NativeFunction* method = nullptr;   // NativeMethod
    AnyFn fn = nullptr;                       // RichCompare, Binary, Ternary, Unary

    bool empty() const { return kind == SlotKind::Empty; }
    static SlotEntry unary(UnarySlotFn f) { return {SlotKind::Unary, 0, {}, nullptr, reinterpret_cast<AnyFn>(f)}; }
    static SlotEntry binary(BinarySlotFn f) { return {SlotKind::Binary, 0, {}, nullptr, reinterpret_cast<AnyFn>(f)}; }
    static SlotEntry ternary(TernarySlotFn f) { return {SlotKind::Ternary, 0, {}, nullptr, reinterpret_cast<AnyFn>(f)}; }
    static SlotEntry rich_compare(RichCompareFn f) {
        return {SlotKind::RichCompare, 0, {}, nullptr, reinterpret_cast<AnyFn>(f)};
    }
    static SlotEntry builtin_repr() { return {SlotKind::BuiltinRepr}; }
    static SlotEntry builtin_hash() { return {SlotKind::BuiltinHash}; }
    static SlotEntry native_method(const NativeFunction* m) { return {SlotKind::NativeMethod, 0, {}, m}; }
    UnarySlotFn as_unary() const { return reinterpret_cast<UnarySlotFn>(fn); }
    BinarySlotFn as_binary() const { return reinterpret_cast<BinarySlotFn>(fn); }
    TernarySlotFn as_ternary() const { return reinterpret_cast<TernarySlotFn>(fn); }
    RichCompareFn as_rich_compare() const { return reinterpret_cast<RichCompareFn>(fn); }
    friend bool operator==(const SlotEntry&, const SlotEntry&) = default;
};

using SlotTable = std::array<SlotEntry, kDunderSlotCount>;

enum class TypeOrigin : std::uint8_t { Builtin = 0, ValueKind = 1, Program = 2 };

struct TypeRecord {
    std::string name;
    std::vector<TypeId> bases;
    std::vector<TypeId> mro;  // without the type itself
    Namespace namespace_;
    SlotTable declared{};
    SlotTable resolved{};
    Value class_value;  // absent while the class is being built
    TypeOrigin origin = TypeOrigin::Builtin;

    // 64 + name bytes + 4 per base + 4 per MRO entry + 48 per namespace entry + 24 per non-empty
    // declared slot, saturating.
    std::uint64_t modeled_size() const;
};

class TypeRegistry;
// Installs the builtin slot functions into the resolved tables (the registry build's step 6).
using SlotInstaller = void (*)(TypeRegistry& registry);
// Attaches the native method and property rows of the builtin types (the registry build's step 3).
using ClassAttacher = void (*)(TypeRegistry& registry, Symbols& symbols);

class TypeRegistry {
public:
    // The whole build: builtin types, native classes, slots, value kinds, exception classes.
    // Interns names through `symbols`. Broken invariants abort.
    static TypeRegistry build_builtin_types(Symbols& symbols, SlotInstaller install_slots,
                                            ClassAttacher attach_classes = nullptr);

    // "invalid type reference" (Unsupported).
    PyResult<const TypeRecord*> get(TypeId id) const;
    TypeRecord* get_mut(TypeId id) { return id < records_.size() ? &records_[id] : nullptr; }
    // The resolved entry, or null when the slot is empty.
    PyResult<const SlotEntry*> slot(TypeId id, DunderSlot s) const {
        if (id >= records_.size()) [[unlikely]]
            return fail(PyError::unsupported("invalid type reference"));
        const SlotEntry& e = records_[id].resolved[std::size_t(s)];
        return e.empty() ? nullptr : &e;
    }
    // Whether `type` is `base` or has it in its MRO; "invalid type reference".
    PyResult<bool> is_subtype(TypeId type, TypeId base) const;
    // The class object Value; "type construction is incomplete" while it is built.
    PyResult<Value> class_value(TypeId id) const;

    std::size_t size() const { return records_.size(); }
    // Appends a record (class creation); its id.
    TypeId append(TypeRecord record);
    std::optional<TypeId> exception_id_by_name(std::string_view name) const;
    std::optional<std::string_view> exception_name_by_id(TypeId id) const;
    const std::vector<const ValueKindDef*>& value_kinds() const { return value_kinds_; }
    const std::array<Symbol, kDunderSlotCount>& dunder_symbols() const { return dunder_symbols_; }
    std::uint64_t modeled_size() const { return modeled_size_; }
    // Calls f(Value) for every Value the registry holds (class values and Callable slot values).
    template <class F>
    void for_each_value(F&& f) const {
        for (const TypeRecord& r : records_) {
            f(r.class_value);
            for (const SlotEntry& e : r.declared)
                if (e.kind == SlotKind::Callable) f(e.value);
            for (const SlotEntry& e : r.resolved)
                if (e.kind == SlotKind::Callable) f(e.value);
        }
    }

    // Registry-build helpers shared with class creation.
    // Binds every method row of `cls` as a NativeMethod handle and every property row as a
    // NativeGetter handle in the type's namespace.
    void attach_native_class(Symbols& symbols, TypeId id, const NativeClass& cls);
    void attach_class_method(Symbols& symbols, TypeId id, const NativeFunction& row);
    // Binds SlotWrapper handles for declared slots of kinds 2..7 the namespace lacks.
    void add_slot_wrappers(TypeId id);
    // Fills the empty resolved slots from the resolved entries of the MRO.
    void resolve_from_mro(TypeId id);
    // Replaces a type's declared slots (its resolved table starts over from them) and recounts
    // the registry's modeled size.
    void set_declared(TypeId id, const SlotTable& declared);

private:
    std::vector<TypeRecord> records_;
    std::vector<const ValueKindDef*> value_kinds_;
    std::array<Symbol, kDunderSlotCount> dunder_symbols_{};
    std::unordered_map<std::string_view, TypeId> exception_ids_;
    std::unordered_map<TypeId, std::string_view> exception_names_;
    std::uint64_t modeled_size_ = 0;
};

// The enumerator names, for debug texts: "Add", "ReflectedAdd"; "Object", "Int".
std::string_view dunder_slot_enumerator(DunderSlot s);
std::string_view builtin_type_enumerator(TypeId index);

// The Python name of builtin type `index` (below 43).
std::string_view builtin_type_name(TypeId index);

}  // namespace tw::py
