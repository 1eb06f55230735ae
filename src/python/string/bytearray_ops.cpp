#include "python/string/bytearray_ops.h"

#include <algorithm>
#include <limits>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"

namespace tw::py {

namespace {

PyStatus resize(ContentSizer& sizer, const std::string& content, std::uint64_t new_size) {
    return sizer.resize(content.size(), new_size);
}

// A negative index gets the length added; nothing when it stays outside.
std::optional<std::size_t> normalize(std::int64_t index, std::size_t length) {
    const auto n = std::int64_t(length);
    if (index < 0) index += n;
    if (index < 0 || index >= n) return std::nullopt;
    return std::size_t(index);
}

PyError bytearray_index_error() { return PyError::index_error("bytearray index out of range"); }

}  // namespace

PyResult<std::uint8_t> checked_byte(std::optional<std::int64_t> v) {
    if (!v || *v < 0 || *v > 255) return fail(byte_range_error());
    return std::uint8_t(*v);
}

PyStatus bytearray_append(Charges& charges, ContentSizer& sizer, std::string& content, std::uint8_t byte) {
    if (auto c = charges.charge_work(1); !c) return c;
    if (auto c = resize(sizer, content, content.size() + 1); !c) return c;
    content.push_back(char(byte));
    return {};
}

PyStatus bytearray_extend(Charges& charges, ContentSizer& sizer, std::string& content, std::string_view more) {
    if (auto c = charges.charge_memory(more.size()); !c) return c;
    if (auto c = charges.charge_work(more.size()); !c) return c;
    if (auto c = resize(sizer, content, sat_add(content.size(), more.size())); !c) return c;
    content.append(more);
    return {};
}

PyStatus bytearray_insert(Charges& charges, ContentSizer& sizer, std::string& content, std::int64_t position, std::uint8_t byte) {
    if (auto c = charges.charge_work(content.size()); !c) return c;
    const auto n = std::int64_t(content.size());
    if (position < 0) position += n;
    position = std::clamp<std::int64_t>(position, 0, n);
    if (auto c = resize(sizer, content, content.size() + 1); !c) return c;
    content.insert(content.begin() + position, char(byte));
    return {};
}

PyResult<std::uint8_t> bytearray_pop(Charges& charges, ContentSizer& sizer, std::string& content, std::int64_t position) {
    if (content.empty()) return fail(PyError::index_error("pop from empty bytearray"));
    auto at = normalize(position, content.size());
    if (!at) return fail(PyError::index_error("pop index out of range"));
    if (auto c = charges.charge_work(content.size()); !c) return fail(std::move(c.error()));
    if (auto c = resize(sizer, content, content.size() - 1); !c) return fail(std::move(c.error()));
    const auto byte = std::uint8_t(content[*at]);
    content.erase(*at, 1);
    return byte;
}

PyStatus bytearray_remove(Charges& charges, ContentSizer& sizer, std::string& content, std::uint8_t byte) {
    if (auto c = charges.charge_work(content.size()); !c) return c;
    const std::size_t at = content.find(char(byte));
    if (at == std::string::npos) return fail(PyError::value_error("value not found in bytearray"));
    if (auto c = resize(sizer, content, content.size() - 1); !c) return c;
    content.erase(at, 1);
    return {};
}

PyStatus bytearray_clear(Charges& charges, ContentSizer& sizer, std::string& content) {
    if (auto c = resize(sizer, content, 0); !c) return c;
    content.clear();
    return {};
}

PyStatus bytearray_reverse(Charges& charges, std::string& content) {
    if (auto c = charges.charge_work(content.size()); !c) return c;
    std::reverse(content.begin(), content.end());
    return {};
}

PyStatus bytearray_assign(Charges& charges, ContentSizer& sizer, std::string& content, std::string_view bytes) {
    if (auto c = charges.charge_work(bytes.size()); !c) return c;
    if (auto c = resize(sizer, content, bytes.size()); !c) return c;
    content.assign(bytes);
    return {};
}

PyStatus bytearray_set_item(std::string& content, std::int64_t index, std::optional<std::int64_t> value) {
    auto byte = checked_byte(value);
    if (!byte) return fail(std::move(byte.error()));
    auto at = normalize(index, content.size());
    if (!at) return fail(bytearray_index_error());
    content[*at] = char(*byte);
    return {};
}

PyResult<ResolvedSlice> resolve_slice(std::uint64_t length, std::optional<std::int64_t> start,
                                      std::optional<std::int64_t> stop, std::optional<std::int64_t> step) {
    const std::int64_t st = step.value_or(1);
    if (st == 0) return fail(PyError::value_error("slice step cannot be zero"));
    const auto n = std::int64_t(std::min<std::uint64_t>(length, std::uint64_t(std::numeric_limits<std::int64_t>::max())));
    auto clamp = [&](std::optional<std::int64_t> v, std::int64_t absent) {
        if (!v) return absent;
        std::int64_t x = *v;
        if (x < 0) {
            x = x < -n ? (st < 0 ? -1 : 0) : x + n;
        } else if (x >= n) {
            x = st < 0 ? n - 1 : n;
        }
        return x;
    };
    const std::int64_t b = clamp(start, st < 0 ? n - 1 : 0);
    const std::int64_t e = clamp(stop, st < 0 ? -1 : n);
    std::uint64_t count = 0;
    if (st > 0 && e > b) count = std::uint64_t((e - b - 1) / st + 1);
    else if (st < 0 && b > e) count = std::uint64_t((b - e - 1) / -st + 1);
    return ResolvedSlice{b, st, count};
}

PyStatus bytearray_set_slice(Charges& charges, ContentSizer& sizer, std::string& content, ResolvedSlice slice, std::string_view bytes) {
    if (slice.step == 1 && slice.start >= 0) {
        const auto start = std::min<std::size_t>(std::size_t(slice.start), content.size());
        const auto count = std::min<std::size_t>(slice.count, content.size() - start);
        const std::uint64_t new_length = content.size() - count + bytes.size();
        if (auto c = charges.charge_memory(new_length > content.size() ? new_length - content.size() : 0); !c) return c;
        if (auto c = charges.charge_work(sat_add(content.size(), bytes.size())); !c) return c;
        if (auto c = resize(sizer, content, new_length); !c) return c;
        content.replace(start, count, bytes);
        return {};
    }
    if (bytes.size() != slice.count)
        return fail(PyError::value_error(fmt::format("attempt to assign sequence of size {} to extended slice of size {}",
                                                     bytes.size(), slice.count)));
    if (auto c = charges.charge_work(slice.count); !c) return c;
    for (std::uint64_t i = 0; i < slice.count; ++i) content[std::size_t(slice.start + slice.step * std::int64_t(i))] = bytes[i];
    return {};
}

PyStatus bytearray_del_item(Charges& charges, ContentSizer& sizer, std::string& content, std::int64_t index) {
    auto at = normalize(index, content.size());
    if (!at) return fail(bytearray_index_error());
    if (auto c = charges.charge_work(content.size() - *at); !c) return c;
    if (auto c = resize(sizer, content, content.size() - 1); !c) return c;
    content.erase(*at, 1);
    return {};
}

PyStatus bytearray_del_slice(Charges& charges, ContentSizer& sizer, std::string& content, ResolvedSlice slice) {
    if (auto c = charges.charge_work(content.size()); !c) return c;
    if (slice.count == 0) return {};
    if (slice.step == 1) {
        if (auto c = resize(sizer, content, content.size() - slice.count); !c) return c;
        content.erase(std::size_t(slice.start), slice.count);
        return {};
    }
    if (auto c = charges.charge_memory(content.size()); !c) return c;
    std::vector<bool> marked(content.size());
    for (std::uint64_t i = 0; i < slice.count; ++i) marked[std::size_t(slice.start + slice.step * std::int64_t(i))] = true;
    if (auto c = resize(sizer, content, content.size() - slice.count); !c) return c;
    std::size_t w = 0;
    for (std::size_t r = 0; r < content.size(); ++r)
        if (!marked[r]) content[w++] = content[r];
    content.resize(w);
    return {};
}

PyResult<std::uint8_t> byte_at(std::string_view content, std::int64_t index, bool bytearray) {
    auto at = normalize(index, content.size());
    if (!at) return fail(bytearray ? bytearray_index_error() : PyError::index_error("index out of range"));
    return std::uint8_t(content[*at]);
}

PyResult<std::string> bytes_concat(Charges& charges, std::string_view left, std::string_view right) {
    if (auto c = charges.charge_memory(sat_add(left.size(), right.size())); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(right.size()); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(left.size() + right.size());
    out.append(left).append(right);
    return out;
}

PyResult<std::string> bytes_repeat(Charges& charges, std::string_view content, std::int64_t count, bool bytearray) {
    const std::uint64_t n = count < 0 ? 0 : std::uint64_t(count);
    std::uint64_t total;
    if (__builtin_mul_overflow(std::uint64_t(content.size()), n, &total))
        return fail_resource(bytearray ? "bytearray result is too large" : "bytes result is too large");
    if (auto c = charges.charge_memory(total); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(total); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(total);
    for (std::uint64_t k = 0; k < n; ++k) out.append(content);
    return out;
}

}  // namespace tw::py
