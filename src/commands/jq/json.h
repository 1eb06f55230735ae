// JSON values as jq holds them, with the reader and writer of their text.
//
// A number keeps the decimal text it was read or produced with (1.50 stays 1.50, integers of any
// length keep every digit); object members keep their insertion order and have unique keys.
// Arrays and objects are immutable once built and shared between copies, so copying a value is
// cheap whatever its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/result.h"

namespace tw {

class JsonValue;
struct JsonArrayData;
class JsonObject;

enum class JsonKind : std::uint8_t { Null, False, True, Number, String, Array, Object };

using JsonArray = std::vector<JsonValue>;

class JsonValue {
public:
    JsonValue() = default;  // null

    static JsonValue boolean(bool b);
    static JsonValue number(std::string text);
    static JsonValue string(std::string text);
    static JsonValue array(JsonArray items);
    static JsonValue object(JsonObject members);

    JsonKind kind() const { return kind_; }
    bool is_null() const { return kind_ == JsonKind::Null; }
    bool is_bool() const { return kind_ == JsonKind::False || kind_ == JsonKind::True; }
    bool is_number() const { return kind_ == JsonKind::Number; }
    bool is_string() const { return kind_ == JsonKind::String; }
    bool is_array() const { return kind_ == JsonKind::Array; }
    bool is_object() const { return kind_ == JsonKind::Object; }
    // False only for null and false.
    bool truthy() const { return kind_ != JsonKind::Null && kind_ != JsonKind::False; }

    // The text of a number or the bytes of a string.
    const std::string& text() const { return std::get<std::string>(data_); }
    const JsonArray& items() const;
    const JsonObject& members() const;

    // Where an array or object keeps its compact size bound once computed (0: not yet).
    std::uint64_t& bound_cache() const;

private:
    JsonKind kind_ = JsonKind::Null;
    std::variant<std::monostate, std::string, std::shared_ptr<const JsonArrayData>, std::shared_ptr<const JsonObject>>
        data_;
};

// Members in insertion order with unique keys. Large objects keep a hash index of their keys.
class JsonObject {
public:
    using Member = std::pair<std::string, JsonValue>;

    std::size_t size() const { return members_.size(); }
    bool empty() const { return members_.empty(); }
    auto begin() const { return members_.begin(); }
    auto end() const { return members_.end(); }

    void reserve(std::size_t n) { members_.reserve(n); }
    const JsonValue* find(std::string_view key) const;
    // A present key keeps its position and takes the value; a new key goes at the end.
    void set(std::string key, JsonValue value);

    mutable std::uint64_t bound = 0;  // compact size bound, 0 until computed

private:
    std::size_t find_index(std::string_view key) const;  // npos when absent
    void rebuild_index();

    std::vector<Member> members_;
    std::vector<std::uint32_t> slots_;  // open addressing: member index + 1, 0 empty
};

struct JsonArrayData {
    JsonArray items;
    mutable std::uint64_t bound = 0;  // compact size bound, 0 until computed
};

// A reader error: the reason and the position, shown as "REASON at line L column C".
struct JsonReadError {
    std::string reason;
    std::size_t line = 1;
    std::size_t column = 0;
    std::string text() const;
};

// What the reader asks of the budgets: `charge_memory(bytes)` is called before values of about
// that many host bytes are built (in steps of at least 64 KiB); false stops the read.
struct JsonReadMeter {
    std::function<bool(std::uint64_t)> charge_memory;
};

enum class JsonReadStop : std::uint8_t { Error, Exhausted };

struct JsonReadFailure {
    JsonReadStop stop = JsonReadStop::Error;
    JsonReadError error;
};

// Appends every value of a sequence of JSON texts separated by optional white space.
Result<void, JsonReadFailure> json_read_sequence(std::string_view text, std::vector<JsonValue>& out,
                                                 const JsonReadMeter* meter = nullptr);
// Exactly one value, with optional white space around it.
Result<JsonValue, JsonReadError> json_read_one(std::string_view text);

// Appends the JSON text of `value`: compact with indent 0, else indented by `indent` spaces a level.
void json_write(std::string& out, const JsonValue& value, unsigned indent);
// Appends a string literal: quoted, with the escapes of the writer.
void json_write_string(std::string& out, std::string_view text);

}  // namespace tw
