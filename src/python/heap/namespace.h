// Interned identifiers and the name tables of modules, classes and scopes.
//
// `Symbols` numbers each identifier text once per heap (32-bit symbol numbers, in order of
// interning) and charges text length + 24 bytes of memory per new text. A `Namespace` (payload
// of heap kind Namespace) holds local slots addressed by slot number, an entry table of
// (symbol, Value) in order of first binding with a hashed index from the 9th entry on, and an
// optional parent scope.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/flat_map.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

using Symbol = std::uint32_t;

class Symbols {
public:
    // The number of `text`, interning it when new. Errors: "too many Python identifiers",
    // "identifier storage size overflow", "modeled symbol table size overflow" (Unsupported),
    // "memory limit exceeded" (Resource; nothing recorded).
    PyResult<Symbol> intern(std::string_view text, ResourceMeter& meter);
    // Interning without a budget, for the fixed names of the runtime's own tables; charged to
    // the modeled size only. Panics past 2^32 names.
    Symbol intern_static(std::string_view text);
    // The number of an interned text, without interning.
    std::optional<Symbol> lookup(std::string_view text) const;
    // The text of a symbol; an unknown number is a broken invariant.
    std::string_view name_of(Symbol s) const;
    std::size_t size() const { return texts_.size(); }
    std::uint64_t modeled_size() const { return modeled_size_; }

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    Symbol insert(std::string_view text, std::uint64_t new_size);

    // Texts are shared immutable strings: the array and the map's keys point at the same text,
    // so a copied table keeps valid keys.
    std::vector<std::shared_ptr<const std::string>> texts_;
    std::unordered_map<std::string_view, Symbol, TextHash, std::equal_to<>> index_;
    std::uint64_t modeled_size_ = 0;
};

inline std::string_view symbol_text(const Symbols& symbols, Symbol s) { return symbols.name_of(s); }

struct NamespaceEntry {
    Symbol symbol = 0;
    Value value;
};

class Namespace {
public:
    // Names bound in order; at 9 or more entries an index maps symbols to positions.
    static constexpr std::size_t kIndexThreshold = 9;

    std::vector<Value> slots;  // absent Value = unbound slot
    std::optional<Value> parent;
    std::shared_ptr<const std::vector<Symbol>> slot_names;

    // The bound value of a symbol in the entry table.
    const Value* get(Symbol s) const;
    Value* get(Symbol s) { return const_cast<Value*>(std::as_const(*this).get(s)); }
    std::optional<std::size_t> index_of(Symbol s) const;
    // Binds; the previous value when rebinding (its position is kept).
    std::optional<Value> insert(Symbol s, Value v);
    // Removes an entry, later entries keep their order; the removed value.
    std::optional<Value> remove(Symbol s);
    void rebuild_index();
    // A slot name first, then the entry table; none for an unbound slot.
    const Value* find(Symbol s) const;
    static std::optional<std::size_t> slot_index(const std::vector<Symbol>* slot_names, Symbol s);

    const std::vector<NamespaceEntry>& entries() const { return entries_; }
    std::vector<NamespaceEntry>& entries_mut() { return entries_; }
    bool has_index() const { return has_index_; }
    std::size_t index_size() const { return has_index_ ? entries_.size() : 0; }

    // 80 + 16 per slot value + 48 per name entry; "modeled scope size overflow".
    PyResult<std::uint64_t> modeled_size() const;

private:
    std::vector<NamespaceEntry> entries_;
    FlatU64Map<std::uint32_t> index_;  // symbol -> position
    bool has_index_ = false;
};

}  // namespace tw::py
