// One Python value in 16 bytes: a payload and a tag byte.
//
// Bytes 0..7 are the payload word, bytes 8..14 further payload, byte 15 the tag:
//   0x00..0x0F  inline str of exactly `tag` UTF-8 bytes in bytes 0..14 (the rest zero)
//   0x10 Int    signed 64-bit          0x11 Float  IEEE double bits
//   0x12 Bool   0 or 1                 0x13 None
//   0x14 Object heap handle: slot index (bytes 0..3), generation (bytes 4..7)
//   0x15 Native native handle: index (bytes 0..7), kind 0..15 (byte 8)
//   0x16 Registered  payload word (bytes 0..7), registered kind number (byte 8)
//   0xFE / 0xFF  not values: the two "absent" markers of optional fields and results.
// Every constructor zeroes the bytes its variant does not use, so each value has exactly one
// encoding and `is` is a comparison of the two words.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace tw::py {

enum class Tag : std::uint8_t {
    Int = 0x10,
    Float = 0x11,
    Bool = 0x12,
    None = 0x13,
    Object = 0x14,
    Native = 0x15,
    Registered = 0x16,
    Other = 0xFE,   // the second non-value marker
    Absent = 0xFF,  // an optional field with nothing in it
};

inline constexpr std::uint8_t kMaxInlineStr = 15;

// What the index of a native handle names.
enum class NativeKind : std::uint8_t {
    Module = 0,
    Function = 1,
    BuiltinType = 2,
    NativeFunction = 3,
    NativeMethod = 4,
    Stream = 5,
    Environment = 6,
    ExceptionType = 7,
    TypingList = 8,
    ValueKind = 9,
    NativeGetter = 10,
    Ellipsis = 11,
    NotImplemented = 12,
    NativeClassMethod = 13,
    SlotWrapper = 14,
    NoReceiver = 15,
};

// A heap handle: slot index and the slot's generation when the handle was made.
struct Handle {
    std::uint32_t index = 0;
    std::uint32_t generation = 0;
    constexpr std::uint64_t bits() const { return std::uint64_t(generation) << 32 | index; }
    static constexpr Handle from_bits(std::uint64_t b) { return {std::uint32_t(b), std::uint32_t(b >> 32)}; }
    friend bool operator==(Handle, Handle) = default;
};

class Value {
public:
    // An absent value (tag 0xFF); `Value{}` is the absent marker, never a Python value.
    constexpr Value() : w0_(0), w1_(std::uint64_t(0xFF) << 56) {}

    static constexpr Value from_int(std::int64_t v) { return Value(std::uint64_t(v), tag_word(Tag::Int)); }
    static Value from_float(double v) { return Value(std::bit_cast<std::uint64_t>(v), tag_word(Tag::Float)); }
    static constexpr Value from_bool(bool v) { return Value(v ? 1 : 0, tag_word(Tag::Bool)); }
    static constexpr Value none() { return Value(0, tag_word(Tag::None)); }
    static constexpr Value object(Handle h) { return Value(h.bits(), tag_word(Tag::Object)); }
    static constexpr Value native(NativeKind kind, std::uint64_t index) {
        return Value(index, tag_word(Tag::Native) | std::uint8_t(kind));
    }
    static constexpr Value registered(std::uint8_t kind, std::uint64_t payload) {
        return Value(payload, tag_word(Tag::Registered) | kind);
    }
    static constexpr Value absent() { return Value(); }
    static constexpr Value other_marker() { return Value(0, tag_word(Tag::Other)); }
    // The inline str of `text`, or the absent marker when it has more than 15 bytes. Never
    // allocates; the caller guarantees valid UTF-8.
    static Value try_inline_str(std::string_view text) {
        if (text.size() > kMaxInlineStr) return absent();
        unsigned char bytes[16] = {};
        if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
        bytes[15] = std::uint8_t(text.size());
        Value v;
        std::memcpy(&v.w0_, bytes, 8);
        std::memcpy(&v.w1_, bytes + 8, 8);
        return v;
    }

    constexpr std::uint8_t tag() const { return std::uint8_t(w1_ >> 56); }
    constexpr bool is_inline_str() const { return tag() <= kMaxInlineStr; }
    constexpr bool is_int() const { return tag() == std::uint8_t(Tag::Int); }
    constexpr bool is_float() const { return tag() == std::uint8_t(Tag::Float); }
    constexpr bool is_bool() const { return tag() == std::uint8_t(Tag::Bool); }
    constexpr bool is_none() const { return tag() == std::uint8_t(Tag::None); }
    constexpr bool is_object() const { return tag() == std::uint8_t(Tag::Object); }
    constexpr bool is_native() const { return tag() == std::uint8_t(Tag::Native); }
    constexpr bool is_registered() const { return tag() == std::uint8_t(Tag::Registered); }
    // Tags 0xFE and 0xFF: not a value.
    constexpr bool is_absent() const { return tag() >= std::uint8_t(Tag::Other); }
    constexpr bool is_present() const { return !is_absent(); }

    constexpr std::int64_t as_int() const { return std::int64_t(w0_); }
    double as_float() const { return std::bit_cast<double>(w0_); }
    constexpr bool as_bool() const { return w0_ != 0; }
    constexpr Handle handle() const { return Handle::from_bits(w0_); }
    constexpr NativeKind native_kind() const { return NativeKind(std::uint8_t(w1_)); }
    constexpr std::uint64_t native_index() const { return w0_; }
    constexpr std::uint8_t registered_kind() const { return std::uint8_t(w1_); }
    constexpr std::uint64_t registered_payload() const { return w0_; }
    // The bytes of an inline str; the view points into this Value, so it lives as long as it.
    std::string_view inline_str() const {
        return {reinterpret_cast<const char*>(this), tag()};
    }

    constexpr std::uint64_t word0() const { return w0_; }
    constexpr std::uint64_t word1() const { return w1_; }

    // The `is` test: all 16 bytes equal.
    friend constexpr bool operator==(const Value&, const Value&) = default;

private:
    constexpr Value(std::uint64_t w0, std::uint64_t w1) : w0_(w0), w1_(w1) {}
    static constexpr std::uint64_t tag_word(Tag t) { return std::uint64_t(t) << 56; }

    std::uint64_t w0_;
    std::uint64_t w1_;
};

static_assert(sizeof(Value) == 16);
static_assert(std::is_trivially_copyable_v<Value>);

inline constexpr bool values_identical(const Value& a, const Value& b) { return a == b; }

}  // namespace tw::py
