// The native module registry, the stored Python modules and the values of builtin names.
#include "python/vm/module_registry.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/objects/types.h"
#include "python/vm/engine.h"
#include "python/vm/imports.h"
#include "python/vm/namespace.h"
#include "python/vm/try.h"

namespace tw::py {

extern const NativeModule kSysNativeModule;    // stdlib/sys.cpp
extern const NativeModule kHeapqNativeModule;  // stdlib/heapq.cpp
extern const NativeModule kTypingNativeModule; // stdlib/typing.cpp
extern const NativeModule kCollectionsNativeModule;  // stdlib/collections.cpp
extern const NativeModule kDataclassesNativeModule;  // stdlib/dataclasses.cpp
extern const NativeModule kEnumNativeModule;         // stdlib/enum.cpp
extern const NativeModule kUnicodedataNativeModule;  // stdlib/unicodedata.cpp
extern const NativeModule kWarningsNativeModule;     // stdlib/warnings.cpp

namespace {

// The native modules, compared by exact name in this order. Each module's own source file adds
// its row here as it arrives.
constexpr std::array kNativeModules{&kSysNativeModule, &kHeapqNativeModule,
                                   &kTypingNativeModule, &kCollectionsNativeModule,
                                   &kDataclassesNativeModule, &kEnumNativeModule,
                                   &kUnicodedataNativeModule, &kWarningsNativeModule};

constexpr std::string_view kStdlibModuleNames[] = {
    "__future__", "_abc", "_aix_support", "_android_support", "_apple_support", "_ast", "_ast_unparse",
    "_asyncio", "_bisect", "_blake2", "_bz2", "_codecs", "_codecs_cn", "_codecs_hk", "_codecs_iso2022",
    "_codecs_jp", "_codecs_kr", "_codecs_tw", "_collections", "_collections_abc", "_colorize",
    "_compat_pickle", "_contextvars", "_csv", "_ctypes", "_curses", "_curses_panel", "_datetime", "_dbm",
    "_decimal", "_elementtree", "_frozen_importlib", "_frozen_importlib_external", "_functools", "_gdbm",
    "_hashlib", "_heapq", "_hmac", "_imp", "_interpchannels", "_interpqueues", "_interpreters", "_io",
    "_ios_support", "_json", "_locale", "_lsprof", "_lzma", "_markupbase", "_md5", "_multibytecodec",
    "_multiprocessing", "_opcode", "_opcode_metadata", "_operator", "_osx_support", "_overlapped", "_pickle",
    "_posixshmem", "_posixsubprocess", "_py_abc", "_py_warnings", "_pydatetime", "_pydecimal", "_pyio",
    "_pylong", "_pyrepl", "_queue", "_random", "_remote_debugging", "_scproxy", "_sha1", "_sha2", "_sha3",
    "_signal", "_sitebuiltins", "_socket", "_sqlite3", "_sre", "_ssl", "_stat", "_statistics", "_string",
    "_strptime", "_struct", "_suggestions", "_symtable", "_sysconfig", "_thread", "_threading_local",
    "_tkinter", "_tokenize", "_tracemalloc", "_types", "_typing", "_uuid", "_warnings", "_weakref",
    "_weakrefset", "_winapi", "_wmi", "_zoneinfo", "_zstd", "abc", "annotationlib", "antigravity", "argparse",
    "array", "ast", "asyncio", "atexit", "base64", "bdb", "binascii", "bisect", "builtins", "bz2", "cProfile",
    "calendar", "cmath", "cmd", "code", "codecs", "codeop", "collections", "colorsys", "compileall",
    "compression", "concurrent", "configparser", "contextlib", "contextvars", "copy", "copyreg", "csv",
    "ctypes", "curses", "dataclasses", "datetime", "dbm", "decimal", "difflib", "dis", "doctest", "email",
    "encodings", "ensurepip", "enum", "errno", "faulthandler", "fcntl", "filecmp", "fileinput", "fnmatch",
    "fractions", "ftplib", "functools", "gc", "genericpath", "getopt", "getpass", "gettext", "glob",
    "graphlib", "grp", "gzip", "hashlib", "heapq", "hmac", "html", "http", "idlelib", "imaplib", "importlib",
    "inspect", "io", "ipaddress", "itertools", "json", "keyword", "linecache", "locale", "logging", "lzma",
    "mailbox", "marshal", "math", "mimetypes", "mmap", "modulefinder", "msvcrt", "multiprocessing", "netrc",
    "nt", "ntpath", "nturl2path", "numbers", "opcode", "operator", "optparse", "os", "pathlib", "pdb",
    "pickle", "pickletools", "pkgutil", "platform", "plistlib", "poplib", "posix", "posixpath", "pprint",
    "profile", "pstats", "pty", "pwd", "py_compile", "pyclbr", "pydoc", "pydoc_data", "pyexpat", "queue",
    "quopri", "random", "re", "readline", "reprlib", "resource", "rlcompleter", "runpy", "sched", "secrets",
    "select", "selectors", "shelve", "shlex", "shutil", "signal", "site", "smtplib", "socket", "socketserver",
    "sqlite3", "sre_compile", "sre_constants", "sre_parse", "ssl", "stat", "statistics", "string",
    "stringprep", "struct", "subprocess", "symtable", "sys", "sysconfig", "syslog", "tabnanny", "tarfile",
    "tempfile", "termios", "textwrap", "this", "threading", "time", "timeit", "tkinter", "token", "tokenize",
    "tomllib", "trace", "traceback", "tracemalloc", "tty", "turtle", "turtledemo", "types", "typing",
    "unicodedata", "unittest", "urllib", "uuid", "venv", "warnings", "wave", "weakref", "webbrowser",
    "winreg", "winsound", "wsgiref", "xml", "xmlrpc", "zipapp", "zipfile", "zipimport", "zlib", "zoneinfo",
};

constexpr std::string_view kBuiltinModuleNames[] = {
    "ArithmeticError", "AssertionError", "AttributeError", "BaseException", "BaseExceptionGroup",
    "BlockingIOError", "BrokenPipeError", "BufferError", "BytesWarning", "ChildProcessError",
    "ConnectionAbortedError", "ConnectionError", "ConnectionRefusedError", "ConnectionResetError",
    "DeprecationWarning", "EOFError", "Ellipsis", "EncodingWarning", "EnvironmentError", "Exception",
    "ExceptionGroup", "False", "FileExistsError", "FileNotFoundError", "FloatingPointError", "FutureWarning",
    "GeneratorExit", "IOError", "ImportError", "ImportWarning", "IndentationError", "IndexError",
    "InterruptedError", "IsADirectoryError", "KeyError", "KeyboardInterrupt", "LookupError", "MemoryError",
    "ModuleNotFoundError", "NameError", "None", "NotADirectoryError", "NotImplemented", "NotImplementedError",
    "OSError", "OverflowError", "PendingDeprecationWarning", "PermissionError", "ProcessLookupError",
    "PythonFinalizationError", "RecursionError", "ReferenceError", "ResourceWarning", "RuntimeError",
    "RuntimeWarning", "StopAsyncIteration", "StopIteration", "SyntaxError", "SyntaxWarning", "SystemError",
    "SystemExit", "TabError", "TimeoutError", "True", "TypeError", "UnboundLocalError", "UnicodeDecodeError",
    "UnicodeEncodeError", "UnicodeError", "UnicodeTranslateError", "UnicodeWarning", "UserWarning",
    "ValueError", "Warning", "ZeroDivisionError", "__build_class__", "__import__", "abs", "aiter", "all",
    "anext", "any", "ascii", "bin", "bool", "breakpoint", "bytearray", "bytes", "callable", "chr",
    "classmethod", "compile", "complex", "copyright", "credits", "delattr", "dict", "dir", "divmod",
    "enumerate", "eval", "exec", "exit", "filter", "float", "format", "frozenset", "getattr", "globals",
    "hasattr", "hash", "help", "hex", "id", "input", "int", "isinstance", "issubclass", "iter", "len",
    "license", "list", "locals", "map", "max", "memoryview", "min", "next", "object", "oct", "open", "ord",
    "pow", "print", "property", "quit", "range", "repr", "reversed", "round", "set", "setattr", "slice",
    "sorted", "staticmethod", "str", "sum", "super", "tuple", "type", "vars", "zip",
};

// Builtin names whose values live in stored modules: (name, module).
constexpr std::pair<std::string_view, std::string_view> kStoredBuiltins[] = {
    {"open", "_io"},
    {"aiter", "_iteration"},
    {"anext", "_iteration"},
    {"BaseExceptionGroup", "_exceptions"},
    {"ExceptionGroup", "_exceptions"},
};

// The builtin types a program reaches by name.
constexpr BuiltinType kNamedTypes[] = {
    BuiltinType::Object, BuiltinType::Type,  BuiltinType::Bool,      BuiltinType::Int,      BuiltinType::Float,
    BuiltinType::Complex, BuiltinType::String, BuiltinType::Bytes, BuiltinType::ByteArray, BuiltinType::List,
    BuiltinType::Tuple,  BuiltinType::Dict,   BuiltinType::Set,   BuiltinType::FrozenSet, BuiltinType::Slice,
    BuiltinType::Range,  BuiltinType::Property, BuiltinType::StaticMethod, BuiltinType::ClassMethod,
};

// The functions of the builtins function table (owner "builtins").
constexpr std::string_view kBuiltinTableFunctions[] = {"__import__", "ascii", "id",       "map",  "filter",
                                                       "reversed",   "getattr", "hasattr", "round"};

}  // namespace

const NativeModule* native_module_by_name(std::string_view name) {
    for (const NativeModule* m : kNativeModules)
        if (m->name == name) return m;
    return nullptr;
}

std::optional<StoredModule> frozen_module_source(std::string_view name) {
    for (const StoredModule& m : stored_modules())
        if (m.name == name) return m;
    return std::nullopt;
}

bool is_bundled_python_module(std::string_view name) {
    return native_module_by_name(name) != nullptr || frozen_module_source(name).has_value();
}

std::span<const std::string_view> stdlib_module_names() { return kStdlibModuleNames; }
std::span<const std::string_view> builtin_module_names() { return kBuiltinModuleNames; }

namespace vm {

PyResult<std::optional<Value>> stored_builtin_value(RuntimeContext& ctx, std::string_view name) {
    auto row = std::find_if(std::begin(kStoredBuiltins), std::end(kStoredBuiltins),
                            [&](const auto& r) { return r.first == name; });
    if (row == std::end(kStoredBuiltins)) return std::optional<Value>();
    TRY_ASSIGN(module, import_module_value(ctx, row->second));
    TRY_ASSIGN(symbol, ctx.heap.symbols.intern(row->first, ctx.machine.meter));
    TRY_ASSIGN(value, load_attribute_optional(ctx, module, symbol));
    if (!value)
        return fail(PyError::unsupported(fmt::format("frozen module {} does not define {}", row->second, row->first)));
    return value;
}

PyResult<std::optional<Value>> builtin_value_by_name(RuntimeContext& ctx, std::string_view name) {
    TRY_ASSIGN(stored, stored_builtin_value(ctx, name));
    if (stored) return stored;
    for (BuiltinType t : kNamedTypes)
        if (builtin_type_name(type_id(t)) == name)
            return std::optional(intern_static_definition(StaticDefinition::of_builtin_type(type_id(t))));
    if (name == "False" || name == "True") return std::optional(Value::from_bool(name == "True"));
    if (name == "None") return std::optional(Value::none());
    if (name == "Ellipsis") return std::optional(intern_static_definition(StaticDefinition::of(DefinitionTag::Ellipsis)));
    if (name == "NotImplemented")
        return std::optional(intern_static_definition(StaticDefinition::of(DefinitionTag::NotImplemented)));
    if (std::find(std::begin(kBuiltinTableFunctions), std::end(kBuiltinTableFunctions), name) !=
        std::end(kBuiltinTableFunctions)) {
        if (auto f = builtin_native_function(name)) return std::optional(*f);
    }
    for (const BuiltinFunctionRow& row : kBuiltinFunctions)
        if (row.name == name) return std::optional(intern_static_definition(StaticDefinition::of_function(row.id)));
    if (const ExceptionClassRow* row = exception_class_by_name(name); row && row->builtins_flag)
        return std::optional(intern_static_definition(StaticDefinition::of_exception(row->name)));
    return std::optional<Value>();
}

}  // namespace vm

}  // namespace tw::py
