"""System facts of the running program and of the modeled interpreter."""
import _sys
from _sys import argv, path, stdin, stdout, stderr, exit, maxsize, executable, prefix, version
from _sys import _getframemodulename

__stdin__ = stdin
__stdout__ = stdout
__stderr__ = stderr
platform = "linux"
byteorder = "little"
maxunicode = 0x10FFFF
exec_prefix = prefix
base_prefix = prefix
base_exec_prefix = prefix
platlibdir = "lib"
abiflags = ""
api_version = 1013
hexversion = 0x030E00F0
float_repr_style = "short"
dont_write_bytecode = True
pycache_prefix = None
warnoptions = []
meta_path = []
path_hooks = []
path_importer_cache = {}
orig_argv = [executable] + argv


def _structured(qualified_name, fields):
    """A tuple type with one read-only property per field, as the interpreter's records are."""
    fields = tuple(fields)

    def __new__(cls, *values):
        if len(values) == 1 and isinstance(values[0], (tuple, list)):
            values = tuple(values[0])
        if len(values) != len(fields):
            raise TypeError("%s() takes a %d-sequence (%d-sequence given)" % (qualified_name, len(fields), len(values)))
        return tuple.__new__(cls, values)

    def __repr__(self):
        pairs = ", ".join(name + "=" + repr(value) for name, value in zip(fields, self))
        return qualified_name + "(" + pairs + ")"

    def __reduce__(self):
        return (type(self), (tuple(self),))

    members = {"__new__": __new__, "__repr__": __repr__, "__reduce__": __reduce__, "__module__": "sys",
               "_fields": fields, "n_fields": len(fields), "n_sequence_fields": len(fields)}
    for index, name in enumerate(fields):
        members[name] = property(lambda self, index=index: tuple.__getitem__(self, index))
    Record = type(qualified_name.rpartition(".")[2], (tuple,), members)
    return Record


version_info = _structured("sys.version_info", ("major", "minor", "micro", "releaselevel", "serial"))(
    3, 14, 0, "final", 0)
flags = _structured("sys.flags", (
    "debug", "inspect", "interactive", "optimize", "dont_write_bytecode", "no_user_site", "no_site",
    "ignore_environment", "verbose", "bytes_warning", "quiet", "hash_randomization", "isolated", "dev_mode",
    "utf8_mode", "warn_default_encoding", "safe_path", "int_max_str_digits", "gil", "thread_inherit_context",
    "context_aware_warnings"))(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, False, 1, 0, False, 4300, 1, 0, 0)
float_info = _structured("sys.float_info", (
    "max", "max_exp", "max_10_exp", "min", "min_exp", "min_10_exp", "dig", "mant_dig", "epsilon", "radix",
    "rounds"))(1.7976931348623157e+308, 1024, 308, 2.2250738585072014e-308, -1021, -307, 15, 53,
               2.220446049250313e-16, 2, 1)
int_info = _structured("sys.int_info", (
    "bits_per_digit", "sizeof_digit", "default_max_str_digits", "str_digits_check_threshold"))(30, 4, 4300, 640)
hash_info = _structured("sys.hash_info", (
    "width", "modulus", "inf", "nan", "imag", "algorithm", "hash_bits", "seed_bits", "cutoff"))(
    64, 2305843009213693951, 314159, 0, 1000003, "siphash13", 64, 128, 0)
thread_info = _structured("sys.thread_info", ("name", "lock", "version"))("pthread", "mutex+cond", None)


class _Namespace:
    def __init__(self, **attributes):
        for name, value in attributes.items():
            setattr(self, name, value)

    def __repr__(self):
        names = sorted(name for name in dir(self) if name in vars(self))
        return "namespace(" + ", ".join(name + "=" + repr(getattr(self, name)) for name in names) + ")"


implementation = _Namespace(name="tarnwick", cache_tag=None, version=version_info, hexversion=hexversion,
                            _multiarch="x86_64-linux-gnu", supports_isolated_interpreters=False)

builtin_module_names = ("_asyncio", "_collections", "_functools", "_io", "_json", "_operator", "_os", "_sre",
                        "_struct", "_sys", "_time", "builtins", "errno", "itertools", "math", "sys", "time")
stdlib_module_names = frozenset((
    "abc", "argparse", "asyncio", "base64", "binascii", "bisect", "builtins", "cmath", "codecs", "collections",
    "contextlib", "copy", "copyreg", "csv", "dataclasses", "datetime", "decimal", "enum", "errno", "fractions",
    "functools", "glob", "hashlib", "heapq", "html", "http", "importlib", "inspect", "io", "itertools", "json",
    "keyword", "logging", "math", "operator", "os", "pathlib", "pkgutil", "posixpath", "random", "re", "shutil",
    "signal", "stat", "statistics", "string", "struct", "subprocess", "sys", "tempfile", "textwrap", "threading",
    "time", "types", "typing", "unicodedata", "unittest", "urllib", "uuid", "warnings", "zipfile", "zlib"))


class _ModuleTable:
    """The interpreter's module table, read and changed in place."""

    def __getitem__(self, name):
        return _sys.modules()[name]

    def __setitem__(self, name, module):
        _sys.set_module(name, module)

    def __delitem__(self, name):
        if not _sys.remove_module(name):
            raise KeyError(name)

    def __contains__(self, name):
        return name in _sys.modules()

    def __iter__(self):
        return iter(list(_sys.modules()))

    def __len__(self):
        return len(_sys.modules())

    def __repr__(self):
        return repr(_sys.modules())

    def __eq__(self, other):
        if isinstance(other, _ModuleTable):
            return True
        return _sys.modules() == other

    def get(self, name, default=None):
        return _sys.modules().get(name, default)

    def pop(self, name, *default):
        if len(default) > 1:
            raise TypeError("pop expected at most 2 arguments, got %d" % (len(default) + 1))
        table = _sys.modules()
        if name in table:
            _sys.remove_module(name)
            return table[name]
        if default:
            return default[0]
        raise KeyError(name)

    def setdefault(self, name, module=None):
        table = _sys.modules()
        if name in table:
            return table[name]
        _sys.set_module(name, module)
        return module

    def keys(self):
        return _sys.modules().keys()

    def values(self):
        return _sys.modules().values()

    def items(self):
        return _sys.modules().items()

    def copy(self):
        return _sys.modules()


modules = _ModuleTable()


def exception():
    return _sys.active_exception()


def exc_info():
    error = _sys.active_exception()
    if error is None:
        return (None, None, None)
    return (type(error), error, getattr(error, "__traceback__", None))


def _index(value):
    if not isinstance(value, int):
        raise TypeError("'%s' object cannot be interpreted as an integer" % type(value).__name__)
    return value


_recursion_limit = 256


def getrecursionlimit():
    return _recursion_limit


def setrecursionlimit(limit):
    global _recursion_limit
    if _index(limit) < 1:
        raise ValueError("recursion limit must be greater or equal than 1")
    _recursion_limit = limit


def get_int_max_str_digits():
    return 4300


def set_int_max_str_digits(maxdigits):
    if _index(maxdigits) != 0 and maxdigits < 640:
        raise ValueError("maxdigits must be 0 or larger than 640")
    if maxdigits != 4300:
        raise NotImplementedError("tarnwick fixes int_max_str_digits at %d" % 4300)


def getrefcount(value):
    return 2


def _str_size(text):
    widest = max(map(ord, text)) if text else 0
    if widest < 0x80:
        return 41 + len(text)
    if widest < 0x100:
        return 57 + len(text)
    if widest < 0x10000:
        return 56 + 2 * (len(text) + 1)
    return 56 + 4 * (len(text) + 1)


def _int_size(value):
    digits = (abs(value).bit_length() + 29) // 30
    return 24 + 4 * max(digits, 1)


def _table_size(count, base, slot):
    # Hash tables start with eight slots and grow by doubling while they are two thirds full.
    slots = 8
    while count * 3 >= slots * 2:
        slots *= 2
    return base + slots * slot


def getsizeof(value, default=None):
    """The size a 64-bit CPython 3.14 reports for a value of the same type and length."""
    kind = type(value)
    if value is None:
        return 16
    if kind is bool:
        return 28
    if isinstance(value, int):
        return _int_size(value)
    if isinstance(value, float):
        return 24
    if isinstance(value, complex):
        return 32
    if isinstance(value, str):
        return _str_size(value)
    if isinstance(value, bytes):
        return 33 + len(value)
    if isinstance(value, bytearray):
        return 57 + len(value) if value else 56
    if isinstance(value, list):
        return 56 + 8 * len(value)
    if isinstance(value, tuple):
        return 40 + 8 * len(value)
    if isinstance(value, dict):
        return 64 if not value else _table_size(len(value), 104, 16)
    if isinstance(value, (set, frozenset)):
        return 216 if len(value) <= 4 else _table_size(len(value), 200, 16)
    if isinstance(value, range):
        return 48
    if isinstance(value, type):
        return 1048
    if callable(value):
        return 160
    return 48


def intern(string):
    if type(string) is not str:
        raise TypeError("intern() argument must be str, not " + type(string).__name__)
    return string


def getdefaultencoding():
    return "utf-8"


def getfilesystemencoding():
    return "utf-8"


def getfilesystemencodeerrors():
    return "surrogateescape"


_trace = None
_profile = None
_switch_interval = 0.005
_dlopen_flags = 2
_coroutine_origin_depth = 0
_asyncgen_hooks = (None, None)
_audit_hooks = []


def settrace(function):
    global _trace
    _trace = function


def gettrace():
    return _trace


def setprofile(function):
    global _profile
    _profile = function


def getprofile():
    return _profile


def getswitchinterval():
    return _switch_interval


def setswitchinterval(interval):
    global _switch_interval
    interval = float(interval)
    if interval <= 0:
        raise ValueError("switch interval must be strictly positive")
    _switch_interval = interval


def getdlopenflags():
    return _dlopen_flags


def setdlopenflags(flags):
    global _dlopen_flags
    _dlopen_flags = _index(flags)


def get_coroutine_origin_tracking_depth():
    return _coroutine_origin_depth


def set_coroutine_origin_tracking_depth(depth):
    global _coroutine_origin_depth
    if _index(depth) < 0:
        raise ValueError("depth must be >= 0")
    _coroutine_origin_depth = depth


def get_asyncgen_hooks():
    return _asyncgen_hooks


def set_asyncgen_hooks(firstiter=None, finalizer=None):
    global _asyncgen_hooks
    for hook in (firstiter, finalizer):
        if hook is not None and not callable(hook):
            raise TypeError("callable expected, got " + type(hook).__name__)
    _asyncgen_hooks = (firstiter, finalizer)


def addaudithook(hook):
    _audit_hooks.append(hook)


def audit(event, *args):
    if type(event) is not str:
        raise TypeError("expected str for argument 'event', not " + type(event).__name__)
    for hook in list(_audit_hooks):
        hook(event, args)


def call_tracing(function, args):
    return function(*args)


def is_finalizing():
    return False


def getallocatedblocks():
    return 0


def _getframe(depth=0):
    raise ValueError("call stack is not deep enough")


def displayhook(value):
    if value is None:
        return
    import builtins
    builtins._ = None
    stdout.write(repr(value) + "\n")
    builtins._ = value


def excepthook(exc_type, value, traceback):
    text = str(value) if value is not None else ""
    name = getattr(exc_type, "__name__", str(exc_type))
    stderr.write(name + (": " + text if text else "") + "\n")


def unraisablehook(unraisable):
    error = getattr(unraisable, "exc_value", None)
    message = getattr(unraisable, "err_msg", None) or "Exception ignored in"
    target = getattr(unraisable, "object", None)
    stderr.write(message + ": " + repr(target) + "\n")
    if error is not None:
        excepthook(type(error), error, None)


def breakpointhook(*args, **kwargs):
    return None


__displayhook__ = displayhook
__excepthook__ = excepthook
__unraisablehook__ = unraisablehook
__breakpointhook__ = breakpointhook
