#include "python/front/definitions.h"

#include <limits>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "base/panic.h"

namespace tw::py {

namespace {

// A process-wide list of row references: the position is the index. Entries are never removed.
template <class Row>
class Registry {
public:
    std::uint32_t intern(const Row* row) {
        {
            std::shared_lock lock(mutex_);
            if (auto it = index_.find(row); it != index_.end()) return it->second;
        }
        std::unique_lock lock(mutex_);
        // Another thread may have added it between the two locks.
        if (auto it = index_.find(row); it != index_.end()) return it->second;
        expect(rows_.size() <= std::numeric_limits<std::uint32_t>::max(), "definition index fits 32 bits");
        auto id = std::uint32_t(rows_.size());
        rows_.push_back(row);
        index_.emplace(row, id);
        return id;
    }
    const Row* get(std::uint64_t index) {
        std::shared_lock lock(mutex_);
        return index < rows_.size() ? rows_[index] : nullptr;
    }

private:
    std::shared_mutex mutex_;
    std::vector<const Row*> rows_;
    std::unordered_map<const Row*, std::uint32_t> index_;
};

Registry<NativeModule>& modules() {
    static Registry<NativeModule> r;
    return r;
}
Registry<NativeFunction>& functions() {
    static Registry<NativeFunction> r;
    return r;
}
Registry<NativeFunction>& methods() {
    static Registry<NativeFunction> r;
    return r;
}
Registry<NativeProperty>& getters() {
    static Registry<NativeProperty> r;
    return r;
}
Registry<ValueKindDef>& value_kinds() {
    static Registry<ValueKindDef> r;
    return r;
}

}  // namespace

const std::array<BuiltinFunctionRow, kBuiltinFunctionRows> kBuiltinFunctions = {{
    {"print", 0},       {"input", 1},     {"exec", 2},       {"eval", 3},      {"exit", 4},
    {"quit", 4},        {"chr", 5},       {"ord", 6},        {"bin", 7},       {"oct", 8},
    {"hex", 9},         {"repr", 10},     {"format", 11},    {"hash", 12},     {"dir", 13},
    {"isinstance", 14}, {"issubclass", 15}, {"len", 16},     {"sorted", 17},   {"min", 18},
    {"max", 19},        {"sum", 20},      {"abs", 21},       {"pow", 22},      {"divmod", 23},
    {"callable", 24},   {"enumerate", 25}, {"zip", 26},      {"any", 27},      {"all", 28},
    {"iter", 29},       {"next", 30},     {"super", 31},     {"setattr", 32},  {"delattr", 33},
    {"globals", 34},    {"locals", 35},   {"vars", 36},
}};

const std::array<ExceptionClassRow, kExceptionClassRows> kExceptionClasses = {{
    {"BaseException", "builtins", "", "", 1},
    {"GeneratorExit", "builtins", "BaseException", "", 1},
    {"KeyboardInterrupt", "builtins", "BaseException", "", 1},
    {"SystemExit", "builtins", "BaseException", "", 1},
    {"Exception", "builtins", "BaseException", "", 1},
    {"ArithmeticError", "builtins", "Exception", "", 1},
    {"FloatingPointError", "builtins", "ArithmeticError", "", 1},
    {"OverflowError", "builtins", "ArithmeticError", "", 1},
    {"ZeroDivisionError", "builtins", "ArithmeticError", "", 1},
    {"AssertionError", "builtins", "Exception", "", 1},
    {"AttributeError", "builtins", "Exception", "", 1},
    {"BufferError", "builtins", "Exception", "", 1},
    {"EOFError", "builtins", "Exception", "", 1},
    {"ImportError", "builtins", "Exception", "", 1},
    {"ModuleNotFoundError", "builtins", "ImportError", "", 1},
    {"LookupError", "builtins", "Exception", "", 1},
    {"IndexError", "builtins", "LookupError", "", 1},
    {"KeyError", "builtins", "LookupError", "", 1},
    {"MemoryError", "builtins", "Exception", "", 1},
    {"NameError", "builtins", "Exception", "", 1},
    {"UnboundLocalError", "builtins", "NameError", "", 1},
    {"OSError", "builtins", "Exception", "", 1},
    {"BlockingIOError", "builtins", "OSError", "", 1},
    {"ChildProcessError", "builtins", "OSError", "", 1},
    {"ConnectionError", "builtins", "OSError", "", 1},
    {"BrokenPipeError", "builtins", "ConnectionError", "", 1},
    {"ConnectionAbortedError", "builtins", "ConnectionError", "", 1},
    {"ConnectionRefusedError", "builtins", "ConnectionError", "", 1},
    {"ConnectionResetError", "builtins", "ConnectionError", "", 1},
    {"FileExistsError", "builtins", "OSError", "", 1},
    {"FileNotFoundError", "builtins", "OSError", "", 1},
    {"InterruptedError", "builtins", "OSError", "", 1},
    {"IsADirectoryError", "builtins", "OSError", "", 1},
    {"NotADirectoryError", "builtins", "OSError", "", 1},
    {"PermissionError", "builtins", "OSError", "", 1},
    {"ProcessLookupError", "builtins", "OSError", "", 1},
    {"TimeoutError", "builtins", "OSError", "", 1},
    {"ReferenceError", "builtins", "Exception", "", 1},
    {"RuntimeError", "builtins", "Exception", "", 1},
    {"NotImplementedError", "builtins", "RuntimeError", "", 1},
    {"RecursionError", "builtins", "RuntimeError", "", 1},
    {"StopAsyncIteration", "builtins", "Exception", "", 1},
    {"StopIteration", "builtins", "Exception", "", 1},
    {"SyntaxError", "builtins", "Exception", "", 1},
    {"IndentationError", "builtins", "SyntaxError", "", 1},
    {"TabError", "builtins", "IndentationError", "", 1},
    {"SystemError", "builtins", "Exception", "", 1},
    {"TypeError", "builtins", "Exception", "", 1},
    {"ValueError", "builtins", "Exception", "", 1},
    {"UnicodeError", "builtins", "ValueError", "", 1},
    {"UnicodeDecodeError", "builtins", "UnicodeError", "", 1},
    {"UnicodeEncodeError", "builtins", "UnicodeError", "", 1},
    {"UnicodeTranslateError", "builtins", "UnicodeError", "", 1},
    {"Warning", "builtins", "Exception", "", 1},
    {"BytesWarning", "builtins", "Warning", "", 1},
    {"DeprecationWarning", "builtins", "Warning", "", 1},
    {"EncodingWarning", "builtins", "Warning", "", 1},
    {"FutureWarning", "builtins", "Warning", "", 1},
    {"ImportWarning", "builtins", "Warning", "", 1},
    {"PendingDeprecationWarning", "builtins", "Warning", "", 1},
    {"ResourceWarning", "builtins", "Warning", "", 1},
    {"RuntimeWarning", "builtins", "Warning", "", 1},
    {"SyntaxWarning", "builtins", "Warning", "", 1},
    {"UnicodeWarning", "builtins", "Warning", "", 1},
    {"UserWarning", "builtins", "Warning", "", 1},
    {"Skipped", "builtins", "Exception", "", 1},
    {"Failed", "builtins", "Exception", "", 0},
    {"SubprocessError", "subprocess", "Exception", "", 0},
    {"CalledProcessError", "subprocess", "SubprocessError", "", 0},
    {"TimeoutExpired", "subprocess", "SubprocessError", "", 0},
    {"AxisError", "numpy.exceptions", "ValueError", "IndexError", 0},
    {"LinAlgError", "numpy.linalg", "ValueError", "", 0},
    {"ComplexWarning", "numpy.exceptions", "RuntimeWarning", "", 0},
}};

std::optional<std::uint32_t> exception_class_row(std::string_view name) {
    for (std::uint32_t i = 0; i < kExceptionClasses.size(); ++i)
        if (kExceptionClasses[i].name == name) return i;
    return std::nullopt;
}

const ExceptionClassRow* exception_class_by_name(std::string_view name) {
    auto row = exception_class_row(name);
    return row ? &kExceptionClasses[*row] : nullptr;
}

std::string_view builtin_function_name(std::uint8_t id) {
    for (const BuiltinFunctionRow& row : kBuiltinFunctions)
        if (row.id == id) return row.name;
    panic("every builtin function has a name");
}

std::string_view builtin_function_enumerator(std::uint8_t id) {
    static constexpr std::string_view kNames[] = {
        "Print", "Input", "Exec", "Eval", "Exit", "Character", "Ordinal", "Binary", "Octal", "Hexadecimal",
        "Repr", "Format", "Hash", "Dir", "IsInstance", "IsSubclass", "Length", "Sorted", "Minimum", "Maximum",
        "Sum", "Absolute", "Power", "Divmod", "Callable", "Enumerate", "Zip", "Any", "All", "Iter", "Next",
        "Super", "SetAttribute", "DeleteAttribute", "Globals", "Locals", "Vars",
    };
    return id < std::size(kNames) ? kNames[id] : std::string_view("?");
}

NativeKind native_kind_of(DefinitionTag tag) {
    static constexpr NativeKind kKinds[] = {
        NativeKind::Module,       NativeKind::Function,          NativeKind::BuiltinType,
        NativeKind::NativeFunction, NativeKind::NativeMethod,    NativeKind::NativeClassMethod,
        NativeKind::SlotWrapper,  NativeKind::NativeGetter,      NativeKind::ValueKind,
        NativeKind::Stream,       NativeKind::Environment,       NativeKind::ExceptionType,
        NativeKind::TypingList,   NativeKind::Ellipsis,          NativeKind::NotImplemented,
        NativeKind::NoReceiver,
    };
    return kKinds[std::size_t(tag)];
}

std::uint32_t definition_registry_intern(const NativeFunction* row) { return methods().intern(row); }

Value intern_static_definition(const StaticDefinition& d) {
    const NativeKind kind = native_kind_of(d.tag);
    std::uint64_t index = 0;
    switch (d.tag) {
        case DefinitionTag::Module: index = modules().intern(d.module); break;
        case DefinitionTag::NativeFunction: index = functions().intern(d.function); break;
        case DefinitionTag::NativeGetter: index = getters().intern(d.getter); break;
        case DefinitionTag::ValueKind: index = value_kinds().intern(d.value_kind); break;
        case DefinitionTag::NativeMethod:
        case DefinitionTag::NativeClassMethod: index = definition_registry_intern(d.function); break;
        case DefinitionTag::Function: {
            bool found = false;
            for (std::size_t row = 0; row < kBuiltinFunctions.size(); ++row)
                if (kBuiltinFunctions[row].id == d.number) {
                    index = row;
                    found = true;
                    break;
                }
            expect(found, "every builtin function has a name");
            break;
        }
        case DefinitionTag::ExceptionType: {
            auto row = exception_class_row(d.name);
            expect(row.has_value(), "exception type must come from the closed exception table");
            index = *row;
            break;
        }
        case DefinitionTag::BuiltinType:
        case DefinitionTag::Stream: index = d.number; break;
        case DefinitionTag::SlotWrapper: index = std::uint64_t(d.owner) << 8 | (d.number & 0xFF); break;
        case DefinitionTag::Environment:
        case DefinitionTag::TypingList:
        case DefinitionTag::Ellipsis:
        case DefinitionTag::NotImplemented:
        case DefinitionTag::NoReceiver: index = 0; break;
    }
    return Value::native(kind, index);
}

const NativeFunction* definition_registry_get(std::uint64_t index) { return methods().get(index); }
const NativeModule* module_registry_get(std::uint64_t index) { return modules().get(index); }
const NativeFunction* native_function_registry_get(std::uint64_t index) { return functions().get(index); }
const NativeProperty* native_getter_registry_get(std::uint64_t index) { return getters().get(index); }
const ValueKindDef* value_kind_registry_get(std::uint64_t index) { return value_kinds().get(index); }

}  // namespace tw::py
