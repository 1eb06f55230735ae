"""Common container types implemented over ordinary Python protocols.

defaultdict is native; Counter is a dict subclass, deque a list-backed double-ended queue with
an optional maximum length, and namedtuple() makes tuple subclasses (also for class statements
with a typing.NamedTuple base).
"""
from _collections import defaultdict

__all__ = ["Counter", "deque", "namedtuple", "defaultdict"]

_PROHIBITED_NAMEDTUPLE_ATTRIBUTES = ("__new__", "__init__", "__slots__", "__getnewargs__", "_fields",
                                     "_field_defaults", "_make", "_replace", "_asdict", "_source")


def _make_namedtuple(typename, field_names, defaults, namespace, module):
    field_names = tuple(field_names)
    seen = set()
    for name in (typename,) + field_names:
        if not isinstance(name, str):
            raise TypeError("Type names and field names must be strings")
        if not name.isidentifier():
            raise ValueError("Type names and field names must be valid identifiers: " + repr(name))
    for name in field_names:
        if name.startswith("_"):
            raise ValueError("Field names cannot start with an underscore: " + repr(name))
        if name in seen:
            raise ValueError("Encountered duplicate field name: " + repr(name))
        seen.add(name)
    if len(defaults) > len(field_names):
        raise TypeError("Got more default values than field names")
    count = len(field_names)
    first_default = count - len(defaults)

    def __new__(cls, *args, **kwargs):
        if len(args) > count:
            raise TypeError("%s() takes %d positional arguments but %d were given" % (typename, count, len(args)))
        values = list(args)
        for index in range(len(args), count):
            name = field_names[index]
            if name in kwargs:
                values.append(kwargs.pop(name))
            elif index >= first_default:
                values.append(defaults[index - first_default])
            else:
                raise TypeError("%s() missing required argument: %r" % (typename, name))
        for name in kwargs:
            if name in field_names:
                raise TypeError("%s() got multiple values for argument %r" % (typename, name))
            raise TypeError("%s() got an unexpected keyword argument %r" % (typename, name))
        return tuple.__new__(cls, values)

    def _make(cls, iterable):
        return tuple.__new__(cls, iterable)

    def _replace(self, **kwargs):
        values = [kwargs.pop(field_names[i], self[i]) for i in range(count)]
        if kwargs:
            raise ValueError("Got unexpected field names: " + repr(list(kwargs)))
        return tuple.__new__(type(self), values)

    def _asdict(self):
        return {field_names[i]: self[i] for i in range(count)}

    def __repr__(self):
        parts = [field_names[i] + "=" + repr(self[i]) for i in range(count)]
        return typename + "(" + ", ".join(parts) + ")"

    def __getnewargs__(self):
        return tuple(self)

    body = dict(namespace)
    body["__slots__"] = ()
    body["_fields"] = field_names
    body["_field_defaults"] = {field_names[first_default + i]: defaults[i] for i in range(len(defaults))}
    body["__new__"] = __new__
    body["_make"] = classmethod(_make)
    body["_replace"] = _replace
    body["_asdict"] = _asdict
    body["__getnewargs__"] = __getnewargs__
    if "__repr__" not in namespace:
        body["__repr__"] = __repr__
    for index in range(count):
        body[field_names[index]] = property(lambda self, i=index: tuple.__getitem__(self, i))
    body["__module__"] = module if module is not None else "__main__"
    return type(typename, (tuple,), body)


def namedtuple(typename, field_names, **options):
    for key in options:
        if key not in ("rename", "defaults", "module"):
            raise TypeError("namedtuple() got an unexpected keyword argument " + repr(key))
    rename = options.get("rename", False)
    defaults = options.get("defaults", None)
    module = options.get("module", None)
    if isinstance(field_names, str):
        field_names = field_names.replace(",", " ").split()
    field_names = list(field_names)
    if rename:
        seen = set()
        for index, name in enumerate(field_names):
            if (not name.isidentifier() or name.startswith("_") or name in seen):
                field_names[index] = "_%d" % index
            seen.add(name)
    defaults = tuple(defaults) if defaults is not None else ()
    return _make_namedtuple(typename, field_names, defaults, {}, module)


def _namedtuple_from_pairs(typename, fields, module):
    # typing.NamedTuple(typename, [(name, type), ...]).
    return namedtuple(typename, [name for name, _ in fields], module=module)


def _namedtuple_from_class(name, fields, namespace, module):
    defaults = []
    default_names = []
    body = {}
    for field in fields:
        if field in namespace:
            defaults.append(namespace[field])
            default_names.append(field)
        elif default_names:
            raise TypeError("Non-default namedtuple field %s cannot follow default field%s %s"
                            % (field, "s" if len(default_names) > 1 else "", ", ".join(default_names)))
    for key in namespace:
        if key in _PROHIBITED_NAMEDTUPLE_ATTRIBUTES:
            raise AttributeError("Cannot overwrite NamedTuple attribute " + key)
        if key not in fields:
            body[key] = namespace[key]
    return _make_namedtuple(name, fields, tuple(defaults), body, module)


class Counter(dict):
    """A dict of counts: missing keys count 0."""

    def __init__(self, iterable=None, /, **kwds):
        dict.__init__(self)
        self.update(iterable, **kwds)

    def __missing__(self, key):
        return 0

    def total(self):
        return sum(self.values())

    def most_common(self, n=None):
        items = sorted(self.items(), key=lambda item: item[1], reverse=True)
        return items if n is None else items[:n]

    def elements(self):
        for key, count in self.items():
            for _ in range(count):
                yield key

    @classmethod
    def fromkeys(cls, iterable, v=None):
        raise NotImplementedError("Counter.fromkeys() is undefined.  Use Counter(iterable) instead.")

    def update(self, iterable=None, /, **kwds):
        if iterable is not None:
            if isinstance(iterable, dict):
                for key, count in iterable.items():
                    self[key] = self[key] + count
            else:
                for key in iterable:
                    self[key] = self[key] + 1
        if kwds:
            self.update(kwds)

    def subtract(self, iterable=None, /, **kwds):
        if iterable is not None:
            if isinstance(iterable, dict):
                for key, count in iterable.items():
                    self[key] = self[key] - count
            else:
                for key in iterable:
                    self[key] = self[key] - 1
        if kwds:
            self.subtract(kwds)

    def copy(self):
        return self.__class__(self)

    def __delitem__(self, key):
        if key in self:
            dict.__delitem__(self, key)

    def __repr__(self):
        if not self:
            return "%s()" % type(self).__name__
        return "%s(%r)" % (type(self).__name__, dict(self.most_common()))

    def __eq__(self, other):
        if not isinstance(other, Counter):
            return NotImplemented
        return all(self[k] == other[k] for c in (self, other) for k in c)

    def __ne__(self, other):
        if not isinstance(other, Counter):
            return NotImplemented
        return not self == other

    def _keep_positive(self):
        for key in [key for key, count in self.items() if not count > 0]:
            del self[key]
        return self

    def _combine(self, other, combine):
        # The positive results of combine(own count, other count) over the keys of both, own first.
        if not isinstance(other, Counter):
            return NotImplemented
        result = Counter()
        for key in list(self) + [key for key in other if key not in self]:
            count = combine(self[key], other[key])
            if count > 0:
                result[key] = count
        return result

    def __add__(self, other):
        return self._combine(other, lambda a, b: a + b)

    def __sub__(self, other):
        return self._combine(other, lambda a, b: a - b)

    def __or__(self, other):
        return self._combine(other, lambda a, b: b if a < b else a)

    def __and__(self, other):
        return self._combine(other, lambda a, b: a if a < b else b)

    def __pos__(self):
        return Counter({key: count for key, count in self.items() if count > 0})

    def __neg__(self):
        return Counter({key: 0 - count for key, count in self.items() if count < 0})


def _deque_comparison(compare):
    # A comparison of two deques by their items; anything else is not comparable here.
    def method(self, other):
        if not isinstance(other, deque):
            return NotImplemented
        return compare(self._items, other._items)

    return method


class deque:
    """A double-ended queue over a list; with maxlen, adding to a full deque drops items from
    the other end."""

    def __init__(self, iterable=(), maxlen=None):
        if maxlen is not None:
            if not isinstance(maxlen, int):
                raise TypeError("an integer is required")
            if maxlen < 0:
                raise ValueError("maxlen must be non-negative")
        self._maxlen = maxlen
        self._items = []
        self.extend(iterable)

    @property
    def maxlen(self):
        return self._maxlen

    def _trim_left(self):
        if self._maxlen is not None and len(self._items) > self._maxlen:
            del self._items[:len(self._items) - self._maxlen]

    def _trim_right(self):
        if self._maxlen is not None and len(self._items) > self._maxlen:
            del self._items[self._maxlen:]

    def append(self, x):
        self._items.append(x)
        self._trim_left()

    def appendleft(self, x):
        self._items.insert(0, x)
        self._trim_right()

    def extend(self, iterable):
        if iterable is self:
            iterable = list(iterable)
        for x in iterable:
            self.append(x)

    def extendleft(self, iterable):
        if iterable is self:
            iterable = list(iterable)
        for x in iterable:
            self.appendleft(x)

    def pop(self):
        if not self._items:
            raise IndexError("pop from an empty deque")
        return self._items.pop()

    def popleft(self):
        if not self._items:
            raise IndexError("pop from an empty deque")
        return self._items.pop(0)

    def clear(self):
        self._items.clear()

    def copy(self):
        return deque(self._items, self._maxlen)

    __copy__ = copy

    def count(self, x):
        return self._items.count(x)

    def index(self, x, *bounds):
        try:
            return self._items.index(x, *bounds)
        except ValueError:
            raise ValueError("%r is not in deque" % (x,)) from None

    def insert(self, i, x):
        if self._maxlen is not None and len(self._items) >= self._maxlen:
            raise IndexError("deque already at its maximum size")
        self._items.insert(i, x)

    def remove(self, value):
        try:
            self._items.remove(value)
        except ValueError:
            raise ValueError("%r is not in deque" % (value,)) from None

    def reverse(self):
        self._items.reverse()

    def rotate(self, n=1):
        size = len(self._items)
        if size > 1:
            n %= size
            if n:
                self._items[:] = self._items[-n:] + self._items[:-n]

    def __len__(self):
        return len(self._items)

    def __bool__(self):
        return bool(self._items)

    def __iter__(self):
        return iter(list(self._items))

    def __reversed__(self):
        return iter(self._items[::-1])

    def __contains__(self, x):
        return x in self._items

    def _index(self, i):
        if not isinstance(i, int):
            raise TypeError("sequence index must be integer, not '%s'" % type(i).__name__)
        if i < 0:
            i += len(self._items)
        if not 0 <= i < len(self._items):
            raise IndexError("deque index out of range")
        return i

    def __getitem__(self, i):
        return self._items[self._index(i)]

    def __setitem__(self, i, x):
        self._items[self._index(i)] = x

    def __delitem__(self, i):
        del self._items[self._index(i)]

    __eq__ = _deque_comparison(lambda a, b: a == b)
    __ne__ = _deque_comparison(lambda a, b: a != b)
    __lt__ = _deque_comparison(lambda a, b: a < b)
    __le__ = _deque_comparison(lambda a, b: a <= b)
    __gt__ = _deque_comparison(lambda a, b: a > b)
    __ge__ = _deque_comparison(lambda a, b: a >= b)

    def __add__(self, other):
        if not isinstance(other, deque):
            raise TypeError('can only concatenate deque (not "%s") to deque' % type(other).__name__)
        result = self.copy()
        result.extend(other)
        return result

    def __iadd__(self, other):
        self.extend(other)
        return self

    __hash__ = None

    def __repr__(self):
        if self._maxlen is None:
            return "deque(%r)" % (self._items,)
        return "deque(%r, maxlen=%d)" % (self._items, self._maxlen)
