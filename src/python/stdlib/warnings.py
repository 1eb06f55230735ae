"""Warning control: filters, the registries of shown warnings, and warn() over the caller's
location (`_tarnwick_warnings`).

A filter is a 5-tuple (action, message pattern, category, module pattern, line). Patterns are
None (anything) or a _Pattern matched at the start of the text; every warning is matched as
raised in module "__main__".
"""
import sys
from _tarnwick_warnings import caller

__all__ = ["warn", "showwarning", "formatwarning", "filterwarnings", "simplefilter", "resetwarnings",
           "catch_warnings"]

_ACTIONS = ("error", "ignore", "always", "all", "default", "module", "once")


class _Pattern:
    """A regular expression of literals, ".", "*", "+", "?", "\\" escapes and the anchors "^",
    "$" and "\\Z", matched at the start of a text."""

    def __init__(self, pattern, ignore_case=False):
        self.pattern = pattern
        self.ignore_case = ignore_case
        self.items = []  # (char or None for ".", "end" marker, repeat "", "*", "+" or "?")
        i = 1 if pattern.startswith("^") else 0
        while i < len(pattern):
            c = pattern[i]
            i += 1
            if c == "\\" and i < len(pattern):
                c = pattern[i]
                i += 1
                atom = ("end",) if c == "Z" else ("char", c)
            elif c == "$":
                atom = ("end",)
            elif c == ".":
                atom = ("any",)
            else:
                atom = ("char", c)
            repeat = ""
            if i < len(pattern) and pattern[i] in "*+?" and atom[0] != "end":
                repeat = pattern[i]
                i += 1
            self.items.append((atom, repeat))

    def _one(self, atom, c):
        if atom[0] == "any":
            return c != "\n"
        if self.ignore_case:
            return atom[1].lower() == c.lower()
        return atom[1] == c

    def _at(self, text, k, pos):
        if k == len(self.items):
            return True
        atom, repeat = self.items[k]
        if atom[0] == "end":
            return pos == len(text) and self._at(text, k + 1, pos)
        if repeat == "":
            return pos < len(text) and self._one(atom, text[pos]) and self._at(text, k + 1, pos + 1)
        end = pos
        limit = len(text) if repeat != "?" else min(len(text), pos + 1)
        while end < limit and self._one(atom, text[end]):
            end += 1
        least = pos + 1 if repeat == "+" else pos
        while end >= least:
            if self._at(text, k + 1, end):
                return True
            end -= 1
        return False

    def match(self, text):
        return self._at(text, 0, 0)

    def __repr__(self):
        return "re.compile(%r%s)" % (self.pattern, ", re.IGNORECASE" if self.ignore_case else "")


def _default_filters():
    return [
        ("default", None, DeprecationWarning, "__main__", 0),
        ("ignore", None, DeprecationWarning, None, 0),
        ("ignore", None, PendingDeprecationWarning, None, 0),
        ("ignore", None, ImportWarning, None, 0),
        ("ignore", None, ResourceWarning, None, 0),
    ]


filters = _default_filters()
defaultaction = "default"
# Shown warnings by location (for "default" and "module") and by text (for "once").
_registries = {}
onceregistry = {}


def _filters_mutated():
    _registries.clear()
    onceregistry.clear()


def _check_filter(action, category, lineno):
    if action not in _ACTIONS:
        raise ValueError("invalid action: %r" % (action,))
    if not isinstance(category, type) or not issubclass(category, Warning):
        raise TypeError("category must be a Warning subclass")
    if not isinstance(lineno, int) or lineno < 0:
        raise ValueError("lineno must be an int >= 0")


def _add_filter(item, append):
    if not append:
        if item in filters:
            filters.remove(item)
        filters.insert(0, item)
    elif item not in filters:
        filters.append(item)
    _filters_mutated()


def filterwarnings(action, message="", category=Warning, module="", lineno=0, append=False):
    _check_filter(action, category, lineno)
    if not isinstance(message, str):
        raise TypeError("message must be a string")
    if not isinstance(module, str):
        raise TypeError("module must be a string")
    message = _Pattern(message, True) if message else None
    module = _Pattern(module) if module else None
    _add_filter((action, message, category, module, lineno), append)


def simplefilter(action, category=Warning, lineno=0, append=False):
    _check_filter(action, category, lineno)
    _add_filter((action, None, category, None, lineno), append)


def resetwarnings():
    filters[:] = []
    _filters_mutated()


def _matches(pattern, text):
    if pattern is None:
        return True
    if isinstance(pattern, str):
        return pattern == text
    return pattern.match(text)


def _source_line(filename, lineno):
    try:
        with open(filename) as f:
            for number, line in enumerate(f, 1):
                if number == lineno:
                    return line
    except Exception:
        pass
    return None


def formatwarning(message, category, filename, lineno, line=None):
    text = "%s:%s: %s: %s\n" % (filename, lineno, category.__name__, message)
    if line is None:
        line = _source_line(filename, lineno)
    if line:
        line = line.strip()
        if line:
            text += "  %s\n" % line
    return text


def showwarning(message, category, filename, lineno, file=None, line=None):
    if file is None:
        file = sys.stderr
        if file is None:
            return
    try:
        print(formatwarning(message, category, filename, lineno, line), end="", file=file)
    except OSError:
        pass


class WarningMessage:
    _WARNING_DETAILS = ("message", "category", "filename", "lineno", "file", "line", "source")

    def __init__(self, message, category, filename, lineno, file=None, line=None, source=None):
        self.message = message
        self.category = category
        self.filename = filename
        self.lineno = lineno
        self.file = file
        self.line = line
        self.source = source
        self._category_name = category.__name__ if category else None

    def __str__(self):
        return ("{message : %r, category : %r, filename : %r, lineno : %s, line : %r}"
                % (self.message, self._category_name, self.filename, self.lineno, self.line))


def _warn_at(message, category, filename, lineno, source=None):
    module = "__main__"
    if isinstance(message, Warning):
        text = str(message)
        category = message.__class__
    else:
        text = message
        message = category(message)
    registry = _registries.setdefault(filename, {})
    key = (text, category, lineno)
    if registry.get(key):
        return
    for action, msg, cat, mod, ln in filters:
        if _matches(msg, text) and issubclass(category, cat) and _matches(mod, module) and (ln == 0 or lineno == ln):
            break
    else:
        action = defaultaction
    if action == "ignore":
        return
    if action == "error":
        raise message
    if action == "once":
        registry[key] = 1
        oncekey = (text, category)
        if onceregistry.get(oncekey):
            return
        onceregistry[oncekey] = 1
    elif action == "module":
        registry[key] = 1
        altkey = (text, category, 0)
        if registry.get(altkey):
            return
        registry[altkey] = 1
    elif action == "default":
        registry[key] = 1
    elif action not in ("always", "all"):
        raise RuntimeError("Unrecognized action (%r) in warnings.filters:\n %s" % (action, (action,)))
    showwarning(message, category, filename, lineno)


def warn(message, category=None, stacklevel=1, source=None, *, skip_file_prefixes=()):
    if isinstance(message, Warning):
        category = message.__class__
    if category is None:
        category = UserWarning
    if not (isinstance(category, type) and issubclass(category, Warning)):
        raise TypeError("category must be a Warning subclass, not '%s'" % (type(category).__name__,))
    location = caller(stacklevel)
    if location is None:
        filename, lineno = "sys", 1
    else:
        filename, lineno = location
    _warn_at(message, category, filename, lineno, source)


class catch_warnings:
    def __init__(self, *, record=False, module=None, action=None, category=Warning, lineno=0, append=False):
        self._record = record
        self._module = module
        self._entered = False
        if action is None:
            self._filter = None
        else:
            self._filter = (action, category, lineno, append)

    def __repr__(self):
        args = []
        if self._record:
            args.append("record=True")
        if self._module is not None:
            args.append("module=%r" % (self._module,))
        return "%s(%s)" % (type(self).__name__, ", ".join(args))

    def __enter__(self):
        global filters, showwarning
        if self._entered:
            raise RuntimeError("Cannot enter %r twice" % self)
        self._entered = True
        self._filters = filters
        filters = filters[:]
        _filters_mutated()
        self._showwarning = showwarning
        if self._filter is not None:
            simplefilter(*self._filter)
        if self._record:
            log = []

            def record(*args, **kwargs):
                log.append(WarningMessage(*args, **kwargs))

            showwarning = record
            return log
        return None

    def __exit__(self, *exc_info):
        global filters, showwarning
        if not self._entered:
            raise RuntimeError("Cannot exit %r without entering first" % self)
        filters = self._filters
        _filters_mutated()
        showwarning = self._showwarning
        return None
