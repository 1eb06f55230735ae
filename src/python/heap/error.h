// The error of the Python runtime. A `PyError` is one pointer: it owns a boxed `ErrorDetail`
// (message and kind), or it is null, the raised marker, meaning that a Python exception object
// is pending in the execution state.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tw {
class WaitReason;
}

namespace tw::py {

enum class ErrorKindTag : std::uint8_t {
    Exception,    // a builtin exception class name
    OsError,      // errno and optional file name
    Unsupported,  // internal errors and unsupported features; not catchable
    Resource,     // a budget refused the work; not catchable
    Exit,         // a requested exit status; not catchable
    Suspend,      // a native call must wait; not catchable
};

struct ErrorDetail {
    std::string message;
    ErrorKindTag kind = ErrorKindTag::Unsupported;
    // Exception: the class name (static text).
    std::string_view class_name;
    // OsError: errno; Exit: the status.
    std::int32_t code = 0;
    // OsError: the file name.
    std::optional<std::string> filename;
    // Suspend: the reason.
    std::unique_ptr<WaitReason> wait;

    ErrorDetail();
    ~ErrorDetail();
    ErrorDetail(ErrorDetail&&) noexcept;
    ErrorDetail& operator=(ErrorDetail&&) noexcept;
};

class PyError {
public:
    // The raised marker.
    PyError() = default;
    explicit PyError(std::unique_ptr<ErrorDetail> detail) : detail_(std::move(detail)) {}
    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;

    static PyError raised() { return PyError(); }
    static PyError make(ErrorKindTag kind, std::string message);
    static PyError unsupported(std::string message);
    static PyError resource(std::string message);
    // `class_name` must be static text ("TypeError").
    static PyError exception(std::string_view class_name, std::string message);
    static PyError type_error(std::string message) { return exception("TypeError", std::move(message)); }
    static PyError value_error(std::string message) { return exception("ValueError", std::move(message)); }
    static PyError runtime_error(std::string message) { return exception("RuntimeError", std::move(message)); }
    static PyError overflow_error(std::string message) { return exception("OverflowError", std::move(message)); }
    static PyError not_implemented_error(std::string message) {
        return exception("NotImplementedError", std::move(message));
    }
    static PyError index_error(std::string message) { return exception("IndexError", std::move(message)); }
    static PyError zero_division_error(std::string message) {
        return exception("ZeroDivisionError", std::move(message));
    }
    static PyError os_error(std::int32_t errno_value, std::string message,
                            std::optional<std::string> filename = std::nullopt);
    // "Python callable requested exit".
    static PyError exit(std::int32_t code);
    // "Python native call suspended".
    static PyError suspended(WaitReason reason);

    bool is_raised_marker() const { return detail_ == nullptr; }
    // Null for the raised marker.
    const ErrorDetail* detail() const { return detail_.get(); }
    ErrorDetail* detail() { return detail_.get(); }
    // Moves the detail out (nothing for the raised marker).
    std::unique_ptr<ErrorDetail> take_detail() { return std::move(detail_); }

    std::optional<ErrorKindTag> kind() const {
        return detail_ ? std::optional(detail_->kind) : std::nullopt;
    }
    // The message; empty for the raised marker.
    std::string_view message() const { return detail_ ? std::string_view(detail_->message) : std::string_view(); }
    // Only Exception and OsError become Python exceptions.
    bool is_catchable() const {
        return !detail_ || detail_->kind == ErrorKindTag::Exception || detail_->kind == ErrorKindTag::OsError;
    }
    // "ErrorDetail { message: ..., kind: ... }", or "raised" for the marker.
    std::string debug_text() const;

private:
    std::unique_ptr<ErrorDetail> detail_;
};

template <class T>
using PyResult = std::expected<T, PyError>;
using PyStatus = std::expected<void, PyError>;

inline std::unexpected<PyError> fail(PyError e) { return std::unexpected(std::move(e)); }

// The fixed errors of the numerical library and of compiled sources.
PyError int_str_digits_limit(std::uint64_t limit);
PyError ufunc_type_error(std::string_view ufunc);
PyError ufunc_casting_error(std::string_view ufunc);
PyError ufunc_no_loop_error(std::string_view ufunc);
PyError ufunc_runtime_error();
// `integer_dtype`: the target dtype's kind is a signed or unsigned integer.
PyError number_argument_type_error(bool integer_dtype, std::string_view type_name);
PyError int_out_of_bounds_error(std::string_view integer_text, std::string_view dtype_name);
PyError dtype_not_understood_error(std::string_view dtype_text);
PyError zero_size_reduction_error(std::string_view operation);
PyError linalg_error_not_2d(std::uint64_t ndim);
PyError linalg_error_singular();
PyError array_copy_required_error();
PyError array_too_big_error();
PyError numpy_runtime_error(std::string message);
PyError complex_malformed_string_error();
PyError byte_range_error();
PyError not_implemented_truth_error();
PyError source_error_at_position(std::string_view message, std::uint64_t line, std::uint64_t column);
PyError module_source_error_at_position(std::string_view message, std::string_view path, std::uint64_t line,
                                        std::uint64_t column);

// The two common internal errors of budgets.
inline constexpr std::string_view kResourceLimitText = "resource limit exceeded while executing Python";
inline constexpr std::string_view kMemoryLimitText = "memory limit exceeded";

}  // namespace tw::py
