// Values, conversions, variables, arrays and the runtime's memory accounting.
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/sat.h"
#include "commands/awk/runtime.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

// Leading white space of valid UTF-8 text (Unicode White_Space).
std::size_t space_prefix(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size()) {
        const std::size_t n = awk_space_length(t, i);
        if (n == 0) break;
        i += n;
    }
    return i;
}

// Trailing white space of valid UTF-8 text.
std::size_t space_suffix(std::string_view t) {
    std::size_t n = t.size();
    while (n > 0) {
        const auto b = static_cast<unsigned char>(t[n - 1]);
        if (b < 0x80) {
            if (!is_white_space(b)) break;
            --n;
            continue;
        }
        std::size_t start = n - 1;
        while (start > 0 && (static_cast<unsigned char>(t[start]) & 0xC0) == 0x80) --start;
        if (awk_space_length(t, start) != n - start) break;
        n = start;
    }
    return t.size() - n;
}

// Reads a decimal number (or inf, infinity, nan) at the start of `t`, which has no sign; the
// bytes read, 0 when there is no number.
std::size_t read_unsigned_number(std::string_view t, double& value) {
    if (t.empty() || t.front() == '+' || t.front() == '-') return 0;
    const char* begin = t.data();
    auto [end, ec] = std::from_chars(begin, begin + t.size(), value);
    if (ec == std::errc::invalid_argument) return 0;
    std::size_t used = static_cast<std::size_t>(end - begin);
    // "nan(...)" reads as far as "nan".
    if (const void* paren = std::memchr(begin, '(', used)) used = static_cast<std::size_t>(static_cast<const char*>(paren) - begin);
    if (ec == std::errc::result_out_of_range) value = std::strtod(std::string(t.substr(0, used)).c_str(), nullptr);
    if (std::isnan(value)) value = std::numeric_limits<double>::quiet_NaN();
    return used;
}

}  // namespace

// ---- numbers and texts ----

std::size_t awk_number_chars(double x, char* buf) {
    if (std::isnan(x)) {
        std::memcpy(buf, "NaN", 3);
        return 3;
    }
    if (std::isinf(x)) {
        std::memcpy(buf, x < 0 ? "-inf" : "inf", x < 0 ? 4 : 3);
        return x < 0 ? 4 : 3;
    }
    if (x == std::trunc(x)) {
        if (std::fabs(x) < 1e18 && !(x == 0 && std::signbit(x))) {
            auto r = std::to_chars(buf, buf + kAwkNumberChars, static_cast<std::int64_t>(x));
            return static_cast<std::size_t>(r.ptr - buf);
        }
        // The exact value of the double, without a point.
        auto r = fmt::format_to_n(buf, kAwkNumberChars, "{:.0f}", x);
        return r.size;
    }
    auto r = std::to_chars(buf, buf + kAwkNumberChars, x, std::chars_format::fixed);
    return static_cast<std::size_t>(r.ptr - buf);
}

void awk_append_number(std::string& out, double x) {
    char buf[kAwkNumberChars];
    out.append(buf, awk_number_chars(x, buf));
}

std::string awk_format_number(double x) {
    std::string out;
    awk_append_number(out, x);
    return out;
}

AwkValue AwkValue::from_number(double x) {
    AwkValue v;
    v.set_number(x);
    return v;
}

void AwkValue::set_number(double x) {
    kind = AwkValueKind::Num;
    number = x;
    char buf[kAwkNumberChars];
    text.assign(buf, awk_number_chars(x, buf));
}

std::optional<double> awk_parse_number(std::string_view t) {
    t.remove_prefix(space_prefix(t));
    t.remove_suffix(space_suffix(t));
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    double value = 0;
    const std::size_t used = read_unsigned_number(t, value);
    if (used == 0 || used != t.size()) return std::nullopt;
    return negative ? -value : value;
}

double awk_text_to_number(std::string_view t) {
    // Digits followed by anything but a point or an exponent are the common case.
    {
        std::uint64_t n = 0;
        std::size_t i = 0;
        const std::size_t limit = std::min<std::size_t>(t.size(), 15);
        while (i < limit && t[i] >= '0' && t[i] <= '9') n = n * 10 + static_cast<std::uint64_t>(t[i++] - '0');
        if (i > 0 && (i == t.size() || (i < limit && t[i] != '.' && t[i] != 'e' && t[i] != 'E')))
            return static_cast<double>(n);
    }
    t.remove_prefix(space_prefix(t));
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    double value = 0;
    if (read_unsigned_number(t, value) == 0) return 0;
    return negative ? -value : value;
}

std::optional<double> awk_numeric_value(const AwkValue& v) {
    switch (v.kind) {
    case AwkValueKind::Num: return v.number;
    case AwkValueKind::Uninit: return 0.0;
    case AwkValueKind::Str: break;
    }
    return awk_parse_number(v.text);
}

double awk_to_number(const AwkValue& v) {
    switch (v.kind) {
    case AwkValueKind::Num: return v.number;
    case AwkValueKind::Uninit: return 0;
    case AwkValueKind::Str: break;
    }
    return awk_text_to_number(v.text);
}

bool awk_truthy(const AwkValue& v) {
    if (auto n = awk_numeric_value(v)) return *n != 0;
    return !v.text.empty();
}

int awk_compare(const AwkValue& a, const AwkValue& b, bool& unordered) {
    unordered = false;
    if (auto x = awk_numeric_value(a)) {
        if (auto y = awk_numeric_value(b)) {
            if (std::isnan(*x) || std::isnan(*y)) {
                unordered = true;
                return 0;
            }
            return *x < *y ? -1 : *x > *y ? 1 : 0;
        }
    }
    const int c = std::string_view(a.text).compare(b.text);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool awk_is_readonly_special(std::string_view name) {
    return name == "NR" || name == "FNR" || name == "NF" || name == "FILENAME" || name == "RS";
}

std::optional<std::pair<std::string, std::string>> awk_split_assignment(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0) return std::nullopt;
    const std::string_view name = text.substr(0, eq);
    const auto word_start = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!word_start(name.front())) return std::nullopt;
    for (char c : name)
        if (!word_start(c) && !(c >= '0' && c <= '9')) return std::nullopt;
    return std::pair{std::string(name), std::string(text.substr(eq + 1))};
}

// ---- the runtime ----

AwkRuntime::AwkRuntime(Syscalls& sys_, CommandIo& io_, const AwkProgram& program_, std::string fs_)
    : sys(sys_), io(io_), program(program_), fs(std::move(fs_)) {
    vars_.resize(program.scalar_names.size());
    var_set_.resize(program.scalar_names.size());
    arrays_.resize(program.array_names.size());
    literals_.resize(program.regex_sources.size());
    rstart_slot = scalar_slot_of("RSTART");
    rlength_slot = scalar_slot_of("RLENGTH");
}

AwkRuntime::~AwkRuntime() {
    if (tracked_memory != 0) sys.release_memory(tracked_memory);
}

AwkArray& AwkRuntime::make_array(std::uint32_t slot) {
    if (!arrays_[slot]) arrays_[slot] = std::make_unique<AwkArray>();
    return *arrays_[slot];
}

std::optional<std::uint32_t> AwkRuntime::scalar_slot_of(std::string_view name) const {
    for (std::size_t i = 0; i < program.scalar_names.size(); ++i)
        if (program.scalar_names[i] == name) return static_cast<std::uint32_t>(i);
    return std::nullopt;
}

void AwkRuntime::preset_scalar(std::uint32_t slot, AwkValue value) {
    vars_[slot] = std::move(value);
    var_set_[slot] = 1;
}

bool AwkRuntime::fail_match(const RegexError& error) {
    if (error.kind == RegexError::Kind::Refused) return fail_exhausted();
    return fail_error(fmt::format("regular expression match failed: {}", error_text(error)));
}

bool AwkRuntime::charge_cpu(std::uint64_t units) {
    if (sys.charge_cpu(units)) return true;
    return fail_exhausted();
}

bool AwkRuntime::adjust_memory(std::uint64_t old_cost, std::uint64_t new_cost) {
    if (new_cost > old_cost) {
        const std::uint64_t more = new_cost - old_cost;
        if (!sys.charge_memory(more)) return fail_exhausted();
        tracked_memory = sat_add(tracked_memory, more);
    } else if (old_cost > new_cost) {
        const std::uint64_t less = old_cost - new_cost;
        sys.release_memory(less);
        tracked_memory = sat_sub(tracked_memory, less);
    }
    return true;
}

const Regex* AwkRuntime::literal_regex(std::uint32_t slot) {
    std::optional<Regex>& cached = literals_[slot];
    if (cached) return &*cached;
    const std::string& source = program.regex_sources[slot];
    if (!charge_cpu(source.size())) return nullptr;
    auto compiled = Regex::compile(source);
    if (!compiled) {
        fail_error(fmt::format("invalid regular expression: {}", error_text(compiled.error())));
        return nullptr;
    }
    cached.emplace(std::move(*compiled));
    return &*cached;
}

const Regex* AwkRuntime::dynamic_regex(std::string_view source) {
    if (auto it = dynamic_.find(source); it != dynamic_.end()) return &it->second;
    auto compiled = Regex::compile(source);
    if (!compiled) {
        fail_error(fmt::format("invalid regular expression: {}", error_text(compiled.error())));
        return nullptr;
    }
    return remember_dynamic(source, std::move(*compiled));
}

const Regex* AwkRuntime::remember_dynamic(std::string_view source, Regex regex) {
    // A program that builds a new pattern for every record must not grow this without bound.
    constexpr std::size_t kMaxDynamic = 64;
    if (dynamic_.size() >= kMaxDynamic) dynamic_.clear();
    return &dynamic_.emplace(std::string(source), std::move(regex)).first->second;
}

// ---- variables and arrays ----

std::uint64_t awk_entry_cost(std::size_t name_length, std::size_t text_length) {
    return sat_add(sat_add(name_length, text_length), 64);
}

bool awk_read_scalar(AwkRuntime& rt, std::uint32_t slot, AwkValue& out) {
    if (slot >= kAwkSpecialCount) {
        if (rt.scalar_set(slot)) out = rt.scalar(slot);
        else out.set_uninit();
        return true;
    }
    switch (static_cast<AwkSpecial>(slot)) {
    case AwkSpecial::NR: out.set_number(static_cast<double>(rt.nr)); break;
    case AwkSpecial::FNR: out.set_number(static_cast<double>(rt.fnr)); break;
    case AwkSpecial::NF: {
        std::uint64_t n = 0;
        if (!rt.nf(n)) return false;
        out.set_number(static_cast<double>(n));
        break;
    }
    case AwkSpecial::FILENAME: out.set_text(rt.filename); break;
    case AwkSpecial::FS: out.set_text(rt.fs); break;
    case AwkSpecial::OFS: out.set_text(rt.ofs); break;
    case AwkSpecial::ORS: out.set_text(rt.ors); break;
    case AwkSpecial::RS: out.set_text("\n"); break;
    case AwkSpecial::Count: break;
    }
    return true;
}

bool awk_assign_scalar(AwkRuntime& rt, std::uint32_t slot, const AwkValue& value) {
    if (slot < kAwkSpecialCount) {
        switch (static_cast<AwkSpecial>(slot)) {
        case AwkSpecial::FS: rt.fs = value.text; return true;
        case AwkSpecial::OFS: rt.ofs = value.text; return true;
        case AwkSpecial::ORS: rt.ors = value.text; return true;
        default:
            return rt.fail_error(fmt::format("assignment to '{}' is not supported", rt.program.scalar_names[slot]));
        }
    }
    const std::size_t name_length = rt.program.scalar_names[slot].size();
    if (!rt.adjust_memory(rt.scalar_cost(slot), awk_entry_cost(name_length, value.text.size()))) return false;
    AwkValue& v = rt.vars_[slot];
    v.kind = value.kind;
    v.number = value.number;
    v.text.assign(value.text);
    rt.var_set_[slot] = 1;
    return true;
}

namespace {

// The length of the text of an integral number below 1e18 (not negative zero), made without
// making the text.
std::size_t integer_text_length(double x) {
    static constexpr std::uint64_t kPowers[] = {
        10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL, 1000000000ULL,
        10000000000ULL, 100000000000ULL, 1000000000000ULL, 10000000000000ULL, 100000000000000ULL,
        1000000000000000ULL, 10000000000000000ULL, 100000000000000000ULL, 1000000000000000000ULL};
    const auto n = static_cast<std::int64_t>(x);
    const std::uint64_t m = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    std::size_t digits = 1;
    while (digits <= std::size(kPowers) && m >= kPowers[digits - 1]) ++digits;
    return digits + (n < 0 ? 1 : 0);
}

bool short_integer(double x) { return x == std::trunc(x) && std::fabs(x) < 1e18 && !(x == 0 && std::signbit(x)); }

}  // namespace

void AwkRuntime::settle_scalar(std::uint32_t slot) {
    vars_[slot].set_number(vars_[slot].number);
    var_set_[slot] = 1;
}

std::uint64_t AwkRuntime::scalar_cost(std::uint32_t slot) const {
    if (var_set_[slot] == 0) return 0;
    const std::size_t length =
        var_set_[slot] == kNumberPending ? integer_text_length(vars_[slot].number) : vars_[slot].text.size();
    return awk_entry_cost(program.scalar_names[slot].size(), length);
}

bool awk_store_scalar_number(AwkRuntime& rt, std::uint32_t slot, double x) {
    if (slot < kAwkSpecialCount) return awk_assign_scalar(rt, slot, AwkValue::from_number(x));
    const std::size_t name_length = rt.program.scalar_names[slot].size();
    AwkValue& v = rt.vars_[slot];
    const std::uint64_t old_cost = rt.scalar_cost(slot);
    if (short_integer(x)) {
        const std::uint64_t new_cost = awk_entry_cost(name_length, integer_text_length(x));
        if (old_cost != new_cost && !rt.adjust_memory(old_cost, new_cost)) return false;
        v.kind = AwkValueKind::Num;
        v.number = x;
        rt.var_set_[slot] = AwkRuntime::kNumberPending;
        return true;
    }
    char buf[kAwkNumberChars];
    const std::size_t length = awk_number_chars(x, buf);
    const std::uint64_t new_cost = awk_entry_cost(name_length, length);
    if (old_cost != new_cost && !rt.adjust_memory(old_cost, new_cost)) return false;
    v.kind = AwkValueKind::Num;
    v.number = x;
    v.text.assign(buf, length);
    rt.var_set_[slot] = 1;
    return true;
}

bool awk_set_array_element(AwkRuntime& rt, std::uint32_t slot, std::string_view key, const AwkValue& value) {
    AwkArray* array = rt.array(slot);
    AwkValue* existing = nullptr;
    if (array) {
        if (auto it = array->find(key); it != array->end()) existing = &it->second;
    }
    const std::uint64_t old_cost = existing ? awk_entry_cost(key.size(), existing->text.size()) : 0;
    if (!rt.adjust_memory(old_cost, awk_entry_cost(key.size(), value.text.size()))) return false;
    if (!existing) existing = &rt.make_array(slot).try_emplace(std::string(key)).first->second;
    existing->kind = value.kind;
    existing->number = value.number;
    existing->text.assign(value.text);
    return true;
}

bool awk_subscript_key(AwkRuntime& rt, std::span<const AwkExprPtr> subscripts, std::string& key) {
    AwkValue v;
    if (subscripts.size() == 1) {
        // The text of the one subscript is the key.
        v.text.swap(key);
        if (!awk_evaluate(rt, *subscripts[0], v)) return false;
        key.swap(v.text);
        return true;
    }
    key.clear();
    for (std::size_t i = 0; i < subscripts.size(); ++i) {
        if (!awk_evaluate(rt, *subscripts[i], v)) return false;
        if (i > 0) key += '\x1C';
        key += v.text;
    }
    return true;
}

}  // namespace tw
