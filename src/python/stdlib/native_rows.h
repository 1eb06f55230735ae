// What the native modules share: the rows of their constants and the argument check every
// handler starts with.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string_view>

#include "python/heap/error.h"
#include "python/objects/descriptors.h"
#include "python/types/native_args.h"

namespace tw::py {

constexpr NativeConstant text_constant(std::string_view name, std::string_view value) {
    NativeConstant c;
    c.tag = ConstantTag::Str;
    c.name = name;
    c.text = value;
    return c;
}
constexpr NativeConstant int_constant(std::string_view name, std::int64_t value) {
    NativeConstant c;
    c.tag = ConstantTag::Int;
    c.name = name;
    c.int_value = value;
    return c;
}
// Built when first read.
constexpr NativeConstant lazy_constant(std::string_view name, LazyBuilderFn builder) {
    NativeConstant c;
    c.tag = ConstantTag::Lazy;
    c.name = name;
    c.builder = builder;
    return c;
}

// The positional count within low..=high, then no keywords: "{}() expected {}..={} positional
// arguments, got {}", "{}() does not accept keyword arguments".
inline PyStatus expect_positional(const NativeCall& call, std::string_view name, std::size_t low, std::size_t high) {
    if (auto ok = native_check_positional_arity(call.positional.size(), name, low, high); !ok) return ok;
    return native_reject_keywords(!call.keywords.empty(), name);
}

}  // namespace tw::py
