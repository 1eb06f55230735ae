"""Common container types implemented over ordinary Python protocols.

This part holds the named tuples: namedtuple() and the helper that class statements with a
typing.NamedTuple base are turned into.
"""
from _collections import defaultdict


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
    if module is not None:
        body["__module__"] = module
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


def _namedtuple_from_class(name, fields, namespace, module):
    defaults = []
    body = {}
    for key in namespace:
        if key not in fields:
            body[key] = namespace[key]
    for field in fields:
        if field in namespace:
            defaults.append(namespace[field])
        elif defaults:
            raise TypeError("Non-default namedtuple field " + field + " cannot follow default field")
    return _make_namedtuple(name, fields, tuple(defaults), body, module)
