#include "python/heap/error.h"

#include <fmt/format.h>

#include "kernel/scheduler.h"

namespace tw::py {

ErrorDetail::ErrorDetail() = default;
ErrorDetail::~ErrorDetail() = default;
ErrorDetail::ErrorDetail(ErrorDetail&&) noexcept = default;
ErrorDetail& ErrorDetail::operator=(ErrorDetail&&) noexcept = default;

PyError PyError::make(ErrorKindTag kind, std::string message) {
    auto d = std::make_unique<ErrorDetail>();
    d->message = std::move(message);
    d->kind = kind;
    return PyError(std::move(d));
}

PyError PyError::unsupported(std::string message) { return make(ErrorKindTag::Unsupported, std::move(message)); }

PyError PyError::resource(std::string message) { return make(ErrorKindTag::Resource, std::move(message)); }

PyError PyError::exception(std::string_view class_name, std::string message) {
    PyError e = make(ErrorKindTag::Exception, std::move(message));
    e.detail_->class_name = class_name;
    return e;
}

PyError PyError::os_error(std::int32_t errno_value, std::string message, std::optional<std::string> filename) {
    PyError e = make(ErrorKindTag::OsError, std::move(message));
    e.detail_->code = errno_value;
    e.detail_->filename = std::move(filename);
    return e;
}

PyError PyError::exit(std::int32_t code) {
    PyError e = make(ErrorKindTag::Exit, "Python callable requested exit");
    e.detail_->code = code;
    return e;
}

PyError PyError::suspended(WaitReason reason) {
    PyError e = make(ErrorKindTag::Suspend, "Python native call suspended");
    e.detail_->wait = std::make_unique<WaitReason>(std::move(reason));
    return e;
}

std::string PyError::debug_text() const {
    if (!detail_) return "raised";
    const ErrorDetail& d = *detail_;
    std::string kind;
    switch (d.kind) {
        case ErrorKindTag::Exception: kind = fmt::format("Exception({:?})", d.class_name); break;
        case ErrorKindTag::OsError:
            kind = d.filename ? fmt::format("OsError {{ errno: {}, filename: Some({:?}) }}", d.code, *d.filename)
                              : fmt::format("OsError {{ errno: {}, filename: None }}", d.code);
            break;
        case ErrorKindTag::Unsupported: kind = "Unsupported"; break;
        case ErrorKindTag::Resource: kind = "Resource"; break;
        case ErrorKindTag::Exit: kind = fmt::format("Exit({})", d.code); break;
        case ErrorKindTag::Suspend: kind = fmt::format("Suspend({})", tw::debug_text(*d.wait)); break;
    }
    return fmt::format("ErrorDetail {{ message: {:?}, kind: {} }}", d.message, kind);
}

PyError int_str_digits_limit(std::uint64_t limit) {
    return PyError::value_error(fmt::format(
        "Exceeds the limit ({} digits) for integer string conversion; use sys.set_int_max_str_digits() to "
        "increase the limit",
        limit));
}

PyError ufunc_type_error(std::string_view ufunc) {
    return PyError::type_error(fmt::format("ufunc '{}' not supported for the input types", ufunc));
}

PyError ufunc_casting_error(std::string_view ufunc) {
    return PyError::type_error(fmt::format(
        "ufunc '{}' not supported for the input types, and the inputs could not be safely coerced to any "
        "supported types according to the casting rule ''safe''",
        ufunc));
}

PyError ufunc_no_loop_error(std::string_view ufunc) {
    return PyError::type_error(
        fmt::format("No loop matching the specified signature and casting was found for ufunc {}", ufunc));
}

PyError ufunc_runtime_error() { return PyError::runtime_error("ufunc loop has no kernel for its dtype"); }

PyError number_argument_type_error(bool integer_dtype, std::string_view type_name) {
    if (integer_dtype)
        return PyError::type_error(fmt::format(
            "int() argument must be a string, a bytes-like object or a real number, not '{}'", type_name));
    return PyError::type_error(
        fmt::format("float() argument must be a string or a real number, not '{}'", type_name));
}

PyError int_out_of_bounds_error(std::string_view integer_text, std::string_view dtype_name) {
    return PyError::overflow_error(fmt::format("Python integer {} out of bounds for {}", integer_text, dtype_name));
}

PyError dtype_not_understood_error(std::string_view dtype_text) {
    return PyError::type_error(fmt::format("data type '{}' not understood", dtype_text));
}

PyError zero_size_reduction_error(std::string_view operation) {
    return PyError::value_error(
        fmt::format("zero-size array to reduction operation {} which has no identity", operation));
}

PyError linalg_error_not_2d(std::uint64_t ndim) {
    return PyError::exception(
        "LinAlgError", fmt::format("{}-dimensional array given. Array must be at least two-dimensional", ndim));
}

PyError linalg_error_singular() { return PyError::exception("LinAlgError", "Singular matrix"); }

PyError array_copy_required_error() {
    return PyError::value_error("Unable to avoid copy while creating an array as requested.");
}

PyError array_too_big_error() { return PyError::value_error("array is too big."); }

PyError numpy_runtime_error(std::string message) { return PyError::runtime_error(std::move(message)); }

PyError complex_malformed_string_error() { return PyError::value_error("complex() arg is a malformed string"); }

PyError byte_range_error() { return PyError::value_error("byte must be in range(0, 256)"); }

PyError not_implemented_truth_error() {
    return PyError::type_error("NotImplemented should not be used in a boolean context");
}

PyError source_error_at_position(std::string_view message, std::uint64_t line, std::uint64_t column) {
    return PyError::unsupported(fmt::format("{} at line {}, column {}", message, line, column));
}

PyError module_source_error_at_position(std::string_view message, std::string_view path, std::uint64_t line,
                                        std::uint64_t column) {
    return PyError::unsupported(fmt::format("{} in {} at line {}, column {}", message, path, line, column));
}

}  // namespace tw::py
